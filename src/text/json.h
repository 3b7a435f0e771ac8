#pragma once
// The small, forgiving JSON subset of the page protocol: a flat object
// parser (nested values stay raw text) and a member-by-member writer.
#include <cstdint>
#include <map>
#include <string>

namespace vr {

using JsonFields = std::map<std::string, std::string>;
using JsonWriter = std::string;

JsonFields ParseJsonObject(const std::string& text);
std::string JsonGetString(const JsonFields& fields, const std::string& name, const std::string& fallback);
int64_t JsonGetInt(const JsonFields& fields, const std::string& name, int64_t fallback);
bool JsonGetBool(const JsonFields& fields, const std::string& name, bool fallback);

std::string JsonEscape(const std::string& text);
JsonWriter& AddString(JsonWriter& w, const std::string& name, const std::string& value);
JsonWriter& AddInt(JsonWriter& w, const std::string& name, int64_t value);
JsonWriter& AddDouble(JsonWriter& w, const std::string& name, double value);
JsonWriter& AddBool(JsonWriter& w, const std::string& name, bool value);
JsonWriter& AddRaw(JsonWriter& w, const std::string& name, const std::string& json);
std::string FinishObject(const JsonWriter& w);

}  // namespace vr
