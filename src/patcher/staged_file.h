#pragma once
// A game file being replaced. New bytes go to a staged copy beside the
// target ("<name>.veltrune-staged", same folder so the final move never
// crosses a volume); only once they are proven does Commit move them over the
// target in one step. Until then the target keeps its old bytes, whatever
// happens to the launcher or the machine.
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/handles.h"

namespace vr {

class StagedFile {
public:
    explicit StagedFile(std::wstring target);
    ~StagedFile() { Close(); }
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    static std::wstring StagedPathOf(const std::wstring& target);
    static bool IsStagedName(const std::wstring& name);

    const std::wstring& Target() const { return target; }
    const std::wstring& Path() const { return staged; }

    // Opens the staged copy: empty (fresh) or as an earlier pass left it
    // (keep). False with the system error when it cannot be opened.
    bool Open(bool keep, uint32_t& error);
    // Size of the staged copy on disk, -1 when there is none.
    int64_t ExistingSize() const;
    // Sets the staged copy's length (never sparse-filled by us).
    bool SetLength(uint64_t size, uint32_t& error);
    // Positional writes and reads, safe from several threads at once.
    bool WriteAt(uint64_t offset, const uint8_t* data, size_t size, uint32_t& error);
    bool ReadAt(uint64_t offset, uint8_t* data, size_t size) const;
    // Sequential write at the end of what was appended so far.
    bool Append(const uint8_t* data, size_t size, uint32_t& error);
    void Close();

    // On the copy still open from its writing: flushes, stamps `mtime` (Unix seconds; a time a FILETIME cannot hold
    // leaves the time of writing) and moves the staged copy over the target
    // in one step. Marks that would make Windows refuse the replacement
    // (read-only, hidden, system) are cleared first. False with the error
    // when the target cannot be replaced (in use, say): the staged copy stays.
    bool Commit(const int64_t* mtime, uint32_t& error);
    // Deletes the staged copy.
    void Discard();

private:
    std::wstring target;
    std::wstring staged;
    KernelHandle file;
    uint64_t appendAt = 0;
};

// Free bytes for the current user on the volume of `folder`, -1 when unknown.
int64_t FreeDiskBytes(const std::wstring& folder);
// "C:\" for "C:\Games\x.dat"; the share for UNC paths; the path itself else.
std::wstring VolumeOf(const std::wstring& path);

}  // namespace vr
