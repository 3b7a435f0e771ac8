#pragma once
// The four things the tool does, one file each: publish a game folder
// (publisher.cpp), set the maintenance flag (maintenance.cpp), check a
// published folder (verify.cpp), and make a signing key (keygen.cpp). Each
// returns the process exit code and writes its report to `out` and its
// complaints to `err`.
#include <cstdio>

#include "options.h"

namespace vr::publish {

int Publish(const Options& options, std::FILE* out, std::FILE* err);
int SetMaintenance(const Options& options, std::FILE* out, std::FILE* err);
int Verify(const Options& options, std::FILE* out, std::FILE* err);
int Keygen(const Options& options, std::FILE* out, std::FILE* err);

}  // namespace vr::publish
