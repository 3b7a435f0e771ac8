#pragma once
// A private temporary folder for one test: created under GetTempPathW with a
// unique name, deleted with everything in it when the object goes away.
#include <string>

namespace vr::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder's full path, without a trailing backslash.
    const std::wstring& path() const { return path_; }
    // path() + "\" + rel ('/' in rel is taken as '\').
    std::wstring Join(const std::wstring& rel) const;
    // Writes the bytes to rel (replacing it), creating parent folders first.
    void Write(const std::wstring& rel, const std::string& bytes) const;
    // The whole file, or an empty string when it cannot be read.
    std::string Read(const std::wstring& rel) const;
    // True when rel names an existing file or folder.
    bool Exists(const std::wstring& rel) const;
    // Creates rel and its parents as folders.
    void MakeDir(const std::wstring& rel) const;

private:
    std::wstring path_;
};

}  // namespace vr::test
