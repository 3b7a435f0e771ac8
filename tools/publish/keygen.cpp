#include "publisher.h"

#include "common.h"
#include "crypto.h"
#include "key_file.h"
#include "net/base64.h"

namespace vr::publish {

int Keygen(const Options& o, std::FILE* out, std::FILE* err) {
    SigningKey key;
    std::string error;
    if (!GenerateSigningKey(key, error) || !WriteNewKeyFile(PathFromUtf8(o.keyOut), key, error)) {
        std::fprintf(err, "%s: %s\n", kTool, error.c_str());
        return 1;
    }
    // The public key alone on stdout, so that scripts can capture it.
    std::fprintf(out, "%s\n", EncodeBase64(key.point).c_str());
    std::fprintf(err,
                 "%s: private key written to %s; keep it off the servers. Put the line above in Veltrune.ini "
                 "as [patch] listKey=\n",
                 kTool, o.keyOut.c_str());
    return 0;
}

}  // namespace vr::publish
