#include "formats/OwnerFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/rand.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "formats/Encodings.h"

namespace provisor {

namespace {

namespace fs = std::filesystem;

std::string Describe(const fs::path& path, const std::string& what, int error) {
    return path.string() + ": " + what + ": " + std::strerror(error);
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) close(fd_);
            fd_ = other.release();
        }
        return *this;
    }
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// The folder of path, opened once so every later step works on the folder
// that was checked, not on whatever the name points to by then.
struct Folder {
    Fd fd;
    std::string name;  // the file's name inside it
};

Folder OpenFolder(const fs::path& path) {
    const fs::path name = path.filename();
    if (name.empty() || name == "." || name == "..")
        throw FileError(path.string() + ": not a file name (it names a folder)");
    const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
    Folder folder{Fd(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), name.string()};
    if (folder.fd.get() < 0) throw FileError(Describe(parent, "cannot open the folder", errno));
    struct stat st {};
    if (fstat(folder.fd.get(), &st) != 0) throw FileError(Describe(parent, "cannot examine the folder", errno));
    // In such a folder another user may rename or remove our file and put
    // theirs in its place once we are done; the sticky bit (as on /tmp)
    // forbids that to all but the folder's owner, and O_EXCL keeps their
    // names from being taken for ours. A group-writable folder of the
    // caller's own group is the usual user-private-group setup.
    const bool othersWrite = (st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != getegid());
    if (st.st_uid != geteuid() && st.st_uid != 0)
        throw FileError(parent.string() + ": the folder belongs to another user, who could replace the file");
    if (othersWrite && !(st.st_mode & S_ISVTX))
        throw FileError(parent.string() +
                        ": other users may write to this folder and could replace the file; choose a folder "
                        "only you can write to");
    return folder;
}

void WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw errno;
        if (n == 0) throw EIO;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

void Sync(int fd) {
    while (fsync(fd) != 0)
        if (errno != EINTR) throw errno;
}

// Writes bytes at the end of a file known to hold size bytes and syncs; on
// failure cuts the file back to size so no torn record stays behind.
void AppendDurably(int fd, off_t& size, std::string_view bytes, const fs::path& path) {
    try {
        WriteAll(fd, bytes);
        Sync(fd);
    } catch (int error) {
        // The descriptor writes at its offset, not at the end: the next
        // record must start where this one did, not after a hole.
        if (ftruncate(fd, size) == 0) fsync(fd);
        lseek(fd, size, SEEK_SET);
        throw FileError(Describe(path, "cannot write", error));
    }
    size += static_cast<off_t>(bytes.size());
}

// A name nobody else can predict for the temporary file in the same folder.
std::string TemporaryName(const std::string& name) {
    uint8_t random[8];
    if (RAND_bytes(random, sizeof random) != 1) throw FileError("no random numbers for a temporary file name");
    return "." + name + "." + BytesToHexString(random, sizeof random) + ".tmp";
}

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;

}  // namespace

OwnerFile OwnerFile::Create(const fs::path& path, std::string_view header, Existing existing) {
    Folder folder = OpenFolder(path);
    std::string created = folder.name;
    if (existing == Existing::Replace) {
        struct stat st {};
        if (fstatat(folder.fd.get(), folder.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
            throw FileError(path.string() + ": is a folder");
        created = TemporaryName(folder.name);
    }
    Fd fd(openat(folder.fd.get(), created.c_str(), kCreateFlags, 0600));
    if (fd.get() < 0) {
        const int error = errno;
        if (error == EEXIST && existing == Existing::Refuse)
            throw FileError(path.string() + ": exists already; it is not overwritten unless asked");
        throw FileError(Describe(path, "cannot create", error));
    }
    off_t size = 0;
    try {
        // The umask may only take bits away; 0600 is exact either way.
        if (fchmod(fd.get(), 0600) != 0) throw FileError(Describe(path, "cannot set its mode", errno));
        AppendDurably(fd.get(), size, header, path);
        if (existing == Existing::Replace &&
            renameat(folder.fd.get(), created.c_str(), folder.fd.get(), folder.name.c_str()) != 0)
            throw FileError(Describe(path, "cannot replace", errno));
    } catch (...) {
        // Ours: created with O_EXCL in a folder nobody else may rename in.
        unlinkat(folder.fd.get(), created.c_str(), 0);
        throw;
    }
    // The name itself must survive a crash too, or the records would not.
    try {
        Sync(folder.fd.get());
    } catch (int error) {
        throw FileError(Describe(path, "cannot sync the folder", error));
    }
    return OwnerFile(fd.release(), size, path);
}

OwnerFile::OwnerFile(OwnerFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      size_(other.size_),
      lastStart_(other.lastStart_),
      path_(std::move(other.path_)) {}

OwnerFile& OwnerFile::operator=(OwnerFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        size_ = other.size_;
        lastStart_ = other.lastStart_;
        path_ = std::move(other.path_);
    }
    return *this;
}

OwnerFile::~OwnerFile() {
    if (fd_ >= 0) close(fd_);
}

void OwnerFile::Append(std::string_view record) {
    if (fd_ < 0) throw FileError(path_.string() + ": already finished");
    const off_t start = size_;
    AppendDurably(fd_, size_, record, path_);
    lastStart_ = start;
}

void OwnerFile::WithdrawLast() {
    if (fd_ < 0) throw FileError(path_.string() + ": already finished");
    if (lastStart_ < 0) return;
    if (ftruncate(fd_, lastStart_) != 0 || fsync(fd_) != 0 || lseek(fd_, lastStart_, SEEK_SET) != lastStart_)
        throw FileError(Describe(path_, "cannot withdraw the last record", errno));
    size_ = std::exchange(lastStart_, -1);
}

void OwnerFile::Finish(std::string_view trailer) {
    if (fd_ < 0) throw FileError(path_.string() + ": already finished");
    if (!trailer.empty()) AppendDurably(fd_, size_, trailer, path_);
    const int fd = std::exchange(fd_, -1);
    if (close(fd) != 0 && errno != EINTR) throw FileError(Describe(path_, "cannot close", errno));
}

AppendOnlyFile AppendOnlyFile::Open(const fs::path& path) {
    Folder folder = OpenFolder(path);
    // O_NONBLOCK: a FIFO at the name fails at once (ENXIO) instead of
    // stalling the run until someone reads it; fstat refuses it then.
    constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    Fd fd(openat(folder.fd.get(), folder.name.c_str(), kFlags | O_CREAT | O_EXCL, 0600));
    const bool created = fd.get() >= 0;
    if (created) {
        if (fchmod(fd.get(), 0600) != 0 || fsync(folder.fd.get()) != 0)
            throw FileError(Describe(path, "cannot create", errno));
    } else if (errno == EEXIST) {
        fd = Fd(openat(folder.fd.get(), folder.name.c_str(), kFlags));
    }
    if (fd.get() < 0) {
        const int error = errno;
        if (error == ELOOP) throw FileError(path.string() + ": is a symbolic link; the journal must be a plain file");
        if (error == ENXIO) throw FileError(path.string() + ": is a FIFO; the journal must be a plain file");
        throw FileError(Describe(path, "cannot open", error));
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) throw FileError(Describe(path, "cannot examine", errno));
    if (!S_ISREG(st.st_mode)) throw FileError(path.string() + ": is not a plain file");
    if (st.st_uid != geteuid()) throw FileError(path.string() + ": belongs to another user");
    // A second name may be someone's hard link to another file of ours,
    // which the journal's lines would then be appended to.
    if (st.st_nlink != 1) throw FileError(path.string() + ": has other names (hard links); the journal must not");
    const int flags = fcntl(fd.get(), F_GETFL);
    if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        throw FileError(Describe(path, "cannot open", errno));
    return AppendOnlyFile(fd.release(), path);
}

AppendOnlyFile::AppendOnlyFile(AppendOnlyFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

AppendOnlyFile& AppendOnlyFile::operator=(AppendOnlyFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

AppendOnlyFile::~AppendOnlyFile() {
    if (fd_ >= 0) close(fd_);
}

void AppendOnlyFile::Append(std::string_view line) {
    try {
        WriteAll(fd_, line);
        while (fdatasync(fd_) != 0)
            if (errno != EINTR) throw errno;
    } catch (int error) {
        throw FileError(Describe(path_, "cannot write", error));
    }
}

SecretBytes ReadSmallFile(const fs::path& path, size_t limit, const std::string& what) {
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) throw FileError(what + ": " + Describe(path, "cannot open", errno));
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) throw FileError(what + ": " + Describe(path, "cannot examine", errno));
    if (S_ISDIR(st.st_mode)) throw FileError(what + ": " + path.string() + " is a folder");
    const auto tooLarge = [&] {
        return FileError(what + ": " + path.string() + " is larger than " + std::to_string(limit) + " bytes");
    };
    if (S_ISREG(st.st_mode) && static_cast<uintmax_t>(st.st_size) > limit) throw tooLarge();
    // One byte more than expected tells a file that grew, or a pipe that
    // goes on, from one that ends at the limit.
    size_t capacity = S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) + 1 : std::min<size_t>(limit + 1, 65536);
    SecretBytes buffer(capacity);
    size_t used = 0;
    for (;;) {
        if (used == buffer.size()) {
            if (used > limit) throw tooLarge();
            SecretBytes larger(std::min(limit + 1, 2 * buffer.size()));
            std::memcpy(larger.data(), buffer.data(), used);
            buffer = std::move(larger);
        }
        const ssize_t n = read(fd.get(), buffer.data() + used, buffer.size() - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw FileError(what + ": " + Describe(path, "cannot read", errno));
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    if (used > limit) throw tooLarge();
    buffer.Shrink(used);
    return buffer;
}

}  // namespace provisor
