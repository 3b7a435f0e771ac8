#!/usr/bin/env python3
"""Loopback HTTPS server for the TLS tests: serves DIR/www with the
certificate made by tls_setup.sh and writes its port to DIR/port.
Ends by itself after a while in case nobody stops it."""
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


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(os.path.join(root, "server.pem"), os.path.join(root, "server.key"))
server.socket = context.wrap_socket(server.socket, server_side=True)
threading.Timer(900, lambda: os._exit(0)).start()
with open(os.path.join(root, "port.tmp"), "w") as f:
    f.write(str(server.server_address[1]))
os.replace(os.path.join(root, "port.tmp"), os.path.join(root, "port"))
server.serve_forever()
