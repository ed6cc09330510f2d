// The files the tool writes for its operator on a machine it may share:
// exports that hold secrets, created for their owner only and grown one
// durable record at a time, the append-only journal, and bounded reads of
// the small files an operator hands in.
//
// Another local user must neither read what is written nor redirect it:
// nothing follows a symbolic link at the file's name, an existing name is
// never opened for writing unless the caller asked to replace it (and then
// it is replaced, not written through), nothing blocks on a FIFO, and a
// folder that other users may write to without the sticky bit is refused,
// since they could swap the finished file for their own.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "formats/Secrets.h"

namespace provisor {

// A file that cannot be created, written, synced or read; the message names
// the path and the cause.
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A new file readable and writable by its owner only (mode 0600, whatever
// the umask), written as header, records, trailer. Every write is on disk
// (fsync) when it returns, so a record reported written survives a crash
// or a kill; a record whose write or sync fails is cut off again, leaving
// the file as it was before it.
class OwnerFile {
public:
    enum class Existing {
        Refuse,   // the name must be free (O_CREAT | O_EXCL | O_NOFOLLOW)
        Replace,  // a new file is made beside it and renamed over the name
    };

    // Creates path holding header. With Replace, the header goes into a
    // private temporary file in the same folder, which then atomically
    // takes the name (a symbolic link there is replaced, not followed), so
    // the name never shows a half-made file; the old file is gone from then
    // on. Throws FileError.
    static OwnerFile Create(const std::filesystem::path& path, std::string_view header,
                            Existing existing = Existing::Refuse);

    OwnerFile(OwnerFile&& other) noexcept;
    OwnerFile& operator=(OwnerFile&& other) noexcept;
    OwnerFile(const OwnerFile&) = delete;
    OwnerFile& operator=(const OwnerFile&) = delete;
    // Closes without a trailer: the file keeps its header and the records
    // written, which is what an interrupted run leaves.
    ~OwnerFile();

    // Writes record at the end and syncs it. Throws FileError.
    void Append(std::string_view record);
    // Cuts off the record the last Append wrote and syncs, for a record
    // that must not stay once written (its token failed after all). Throws
    // FileError.
    void WithdrawLast();
    // Writes the trailer, syncs and closes. Throws FileError.
    void Finish(std::string_view trailer = {});

    bool IsOpen() const { return fd_ >= 0; }
    const std::filesystem::path& Path() const { return path_; }

private:
    OwnerFile(int fd, off_t size, std::filesystem::path path) : fd_(fd), size_(size), path_(std::move(path)) {}

    int fd_ = -1;
    off_t size_ = 0;        // bytes known to be on disk
    off_t lastStart_ = -1;  // where the last appended record begins; -1: none to withdraw
    std::filesystem::path path_;
};

// A log that only grows: opened with O_APPEND without following a link at
// its name, made with mode 0600 when new. An existing file must be a regular
// file of the caller's own with no other name. Each Append is one write() of a whole line,
// synced before it returns, so lines of two runs never mix.
class AppendOnlyFile {
public:
    // Throws FileError.
    static AppendOnlyFile Open(const std::filesystem::path& path);

    AppendOnlyFile(AppendOnlyFile&& other) noexcept;
    AppendOnlyFile& operator=(AppendOnlyFile&& other) noexcept;
    AppendOnlyFile(const AppendOnlyFile&) = delete;
    AppendOnlyFile& operator=(const AppendOnlyFile&) = delete;
    ~AppendOnlyFile();

    // Throws FileError.
    void Append(std::string_view line);

    const std::filesystem::path& Path() const { return path_; }

private:
    AppendOnlyFile(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}

    int fd_ = -1;
    std::filesystem::path path_;
};

// The bytes of a file an operator names (a key, a passphrase, a users list,
// a PSKC file) in a buffer that clears itself, up to limit bytes; a larger
// one is refused rather than cut. A pipe is read to its end, so process
// substitution keeps a key off the disk. Throws FileError naming what.
SecretBytes ReadSmallFile(const std::filesystem::path& path, size_t limit, const std::string& what);

}  // namespace provisor
