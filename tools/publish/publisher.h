#pragma once
// The three things the tool does: publish a game folder, set the maintenance
// flag, and check a published folder. Each returns the process exit code and
// writes its report to `out` and its complaints to `err`.
#include <cstdio>

#include "options.h"

namespace vr::publish {

int Publish(const Options& options, std::FILE* out, std::FILE* err);
int SetMaintenance(const Options& options, std::FILE* out, std::FILE* err);
int Verify(const Options& options, std::FILE* out, std::FILE* err);

}  // namespace vr::publish
