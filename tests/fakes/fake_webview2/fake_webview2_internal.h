#pragma once
// Shared between the fake runtime's objects and its control channel.
#include <windows.h>

#include <string>

// Runs one control request on the calling thread.
std::string RunCommand(const std::string& request);
// Runs one control request, on the UI thread when it calls into the launcher.
std::string ExecuteCommand(const std::string& request);
// Starts the loopback control server once, if the environment asks for it.
void StartControlServer();
