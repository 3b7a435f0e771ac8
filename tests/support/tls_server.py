#!/usr/bin/env python3
"""Loopback HTTPS servers for the TLS tests: serve DIR/www with the
certificate made by tls_setup.sh and write their ports to DIR/port (any
version the library offers), DIR/port12 (TLS 1.2 at most, an old server)
and DIR/port13 (TLS 1.3 only). Ends by itself after a while in case nobody
stops it."""
import http.server
import os
import ssl
import sys
import threading

root = sys.argv[1]


class Handler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=os.path.join(root, "www"), **kwargs)

    def log_message(self, fmt, *args):
        with open(os.path.join(root, "requests.log"), "a") as log:
            log.write("%s %s\n" % (self.headers.get("User-Agent", ""), fmt % args))


def start(name, minimum=None, maximum=None):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(root, "server.pem"), os.path.join(root, "server.key"))
    if minimum:
        context.minimum_version = minimum
    if maximum:
        context.maximum_version = maximum
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    with open(os.path.join(root, name + ".tmp"), "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(os.path.join(root, name + ".tmp"), os.path.join(root, name))


threading.Timer(900, lambda: os._exit(0)).start()
start("port12", maximum=ssl.TLSVersion.TLSv1_2)
start("port13", minimum=ssl.TLSVersion.TLSv1_3)
# Written last: the fixture waits for this one.
start("port")
threading.Event().wait()
