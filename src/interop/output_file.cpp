#include "interop/output_file.hpp"

#include "interop/without_gil.hpp"
#include "interop/host_file.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <utility>

namespace qv {

namespace {

constexpr size_t kBufferSize = 64 * 1024;
constexpr size_t kMaxWrite = size_t{1} << 30;  // below what one write(2) takes on Linux
constexpr int kMaxLinks = 40;                   // as many as the kernel follows
constexpr size_t kNameInTemp = 200;             // of the target's name, so the temp name fits NAME_MAX
constexpr int kTempAttempts = 64;
constexpr int kInPlaceFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;  // what open(path, "wb") uses
// The new file reaches the disk before it replaces the old one, so that a crash or power
// loss right after the rename leaves the old file or the whole new one, never an empty one.
// It costs about 1 to 3 % of saving a 24-megapixel image here.
constexpr bool kSyncBeforeRename = true;

size_t dir_length(const char* path)  // up to and including the last '/'
{
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? static_cast<size_t>(slash - path) + 1 : 0;
}

}  // namespace

// The file a path leads to, and the new file made beside it, as names in one folder held
// open. Plain C on fixed buffers, so that it runs without the GIL and cannot fail to allocate.
struct OutputFile::Plan {
    int dir = -1;  // O_PATH
    char name[NAME_MAX + 1];
    char temp[NAME_MAX + 1];
    char link[PATH_MAX];
    bool exists = false;
    struct stat status {};

    Plan() = default;
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
    ~Plan()
    {
        if (dir >= 0) close(dir);
    }
};

namespace {

using Plan = OutputFile::Plan;

// Makes `path` (relative to the folder `at`) the plan's file: its folder opened, its last
// component the name. False for a name that open() would not create as a file.
bool enter(Plan* plan, int at, const char* path)
{
    const size_t dir = dir_length(path);
    const char* name = path + dir;
    const size_t name_length = std::strlen(name);
    if (name_length == 0 || name_length > NAME_MAX || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        return false;
    }
    if (dir > 0 || at == AT_FDCWD) {
        // The working directory is taken here, once: later steps never look at it again.
        char folder[PATH_MAX];
        if (dir >= sizeof folder) return false;
        std::memcpy(folder, dir > 0 ? path : ".", dir > 0 ? dir : 1);
        folder[dir > 0 ? dir : 1] = '\0';
        const int fd = openat(at, folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return false;
        if (plan->dir >= 0) close(plan->dir);
        plan->dir = fd;
    }
    std::memcpy(plan->name, name, name_length + 1);
    return true;
}

// Follows symbolic links from `path` to the file that would be written (a relative link
// from its own folder). True when that is one to replace: a regular file with one link
// that we may write (or nothing yet). Anything else, or any doubt, is left to the host's
// open() in place.
bool resolve_target(const char* path, Plan* plan)
{
    if (!enter(plan, AT_FDCWD, path)) return false;
    for (int hop = 0; hop <= kMaxLinks; ++hop) {
        if (fstatat(plan->dir, plan->name, &plan->status, AT_SYMLINK_NOFOLLOW) != 0) {
            plan->exists = false;
            return errno == ENOENT;  // a new file (through a dangling link too, as open() does)
        }
        if (S_ISLNK(plan->status.st_mode)) {
            const ssize_t n = readlinkat(plan->dir, plan->name, plan->link, sizeof plan->link);
            if (n <= 0 || static_cast<size_t>(n) >= sizeof plan->link) return false;
            plan->link[n] = '\0';
            if (!enter(plan, plan->dir, plan->link)) return false;
            continue;
        }
        plan->exists = true;
        // Other hard links keep the inode that a rename would leave behind; a file we may
        // not write keeps the host's PermissionError.
        return S_ISREG(plan->status.st_mode) && plan->status.st_nlink == 1
               && faccessat(plan->dir, plan->name, W_OK, AT_EACCESS) == 0;
    }
    return false;
}

void random_suffix(char* out, int attempt)  // 12 hex digits and the terminator
{
    uint8_t bytes[6];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        uint64_t mix = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(getpid()) << 32)
                       ^ (static_cast<uint64_t>(gettid()) << 16) ^ static_cast<uint64_t>(attempt) * 0x9E3779B97F4A7C15u;
        for (uint8_t& b : bytes) {
            b = static_cast<uint8_t>(mix);
            mix = (mix >> 8) | (mix << 56);
        }
    }
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < sizeof bytes; ++i) {
        out[2 * i] = kHex[bytes[i] >> 4];
        out[2 * i + 1] = kHex[bytes[i] & 15];
    }
    out[2 * sizeof bytes] = '\0';
}

// Gives the new file the old one's owner (where we may) and permission bits.
bool copy_owner_and_mode(int fd, const struct stat& old)
{
    if (fchown(fd, old.st_uid, old.st_gid) != 0 && errno == EPERM) (void)fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    return fchmod(fd, old.st_mode & 07777) == 0;
}

// ".<name>.<random>.tmp" beside the target, created exclusively. A new target gets the mode
// open() would give it (0666 less the umask); a replaced one its old owner and mode. -1 when
// no file can be made there: the target is then written in place.
int create_temp(Plan* plan)
{
    const size_t name_length = std::min(std::strlen(plan->name), kNameInTemp);
    char* p = plan->temp;
    *p++ = '.';
    std::memcpy(p, plan->name, name_length);
    p += name_length;
    *p++ = '.';
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        random_suffix(p, attempt);
        std::memcpy(p + 12, ".tmp", 5);
        const int fd = openat(plan->dir, plan->temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                              plan->exists ? 0600 : 0666);
        if (fd < 0) {
            if (errno == EEXIST || errno == EINTR) continue;
            return -1;
        }
        if (plan->exists && !copy_owner_and_mode(fd, plan->status)) {
            close(fd);
            unlinkat(plan->dir, plan->temp, 0);
            return -1;
        }
        return fd;
    }
    return -1;
}

// The host's close(); a close that failed before reaching the file (an allocation in the
// call itself) is tried once more, so the file is never left to the garbage collector.
bool close_host_file(PyObject* file)
{
    if (close_file(file)) return true;
    close_file(file);  // the first error stays the one reported
    return false;
}

struct SysResult {
    ssize_t value;
    int error;
};

}  // namespace

OutputFile::OutputFile() = default;
OutputFile::~OutputFile() { discard(); }

// The new file goes (closed, then removed from the folder it was made in).
void OutputFile::drop_temp()
{
    const int fd = std::exchange(fd_, -1);
    const bool made = std::exchange(temp_made_, false);
    const Plan* plan = plan_.get();
    without_gil([&] {
        if (fd >= 0) close(fd);
        if (made) unlinkat(plan->dir, plan->temp, 0);
    });
}

void OutputFile::discard()
{
    if (file_) {
        Ref file = std::move(file_);
        fd_ = -1;
        const bool error_in_flight = PyErr_Occurred() != nullptr;
        if (!close_host_file(file.get()) && !error_in_flight) PyErr_WriteUnraisable(file.get());
    }
    if (plan_) {
        drop_temp();
        plan_.reset();
    }
}

bool OutputFile::open(PyObject* host_open, PyObject* path)
{
    host_open_ = host_open;
    buffer_.reset(new (std::nothrow) uint8_t[kBufferSize]);
    if (!buffer_) return PyErr_NoMemory(), false;
    // open() takes an integer (anything with __index__) as a file descriptor, and calls
    // os.fspath on anything else.
    if (PyIndex_Check(path)) {
        path_ = Ref::own(path);
        return open_in_place(path);
    }
    path_ = Ref::consume(PyOS_FSPath(path));
    if (!path_) return false;

    PyObject* encoded_raw = nullptr;
    if (!PyUnicode_FSConverter(path_.get(), &encoded_raw)) {
        PyErr_Clear();  // open() raises its own error for this path
        return open_in_place(path_.get());
    }
    Ref encoded = Ref::consume(encoded_raw);
    std::unique_ptr<Plan> plan(new (std::nothrow) Plan);
    if (!plan) return PyErr_NoMemory(), false;
    const char* wanted = PyBytes_AS_STRING(encoded.get());
    if (!without_gil([&] { return resolve_target(wanted, plan.get()); })) return open_in_place(path_.get());
    // Audit hooks see the save as they would see open(path, "wb"), before anything is made.
    if (PySys_Audit("open", "Osi", path_.get(), "wb", kInPlaceFlags) < 0) return false;
    plan_ = std::move(plan);
    const int fd = without_gil([&] { return create_temp(plan_.get()); });
    if (fd < 0) return open_in_folder();
    fd_ = fd;
    temp_made_ = true;
    return true;
}

// The target itself, opened as open(path, "wb") would open it, in the folder already found.
bool OutputFile::open_in_folder()
{
    const Plan* plan = plan_.get();
    const SysResult opened = without_gil([&] {
        const int fd = openat(plan->dir, plan->name, kInPlaceFlags, 0666);
        return SysResult{fd, fd < 0 ? errno : 0};
    });
    if (opened.value < 0) {
        errno = opened.error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_.get());
        return false;
    }
    fd_ = static_cast<int>(opened.value);
    return true;
}

bool OutputFile::open_in_place(PyObject* path)
{
    // Unbuffered: the bytes are written straight to its descriptor.
    file_ = Ref::consume(PyObject_CallFunction(host_open_, "Osi", path, "wb", 0));
    if (!file_) return false;
    Ref fileno = Ref::consume(PyObject_CallMethod(file_.get(), "fileno", nullptr));
    if (!fileno) return false;
    const long fd = PyLong_AsLong(fileno.get());
    if (fd == -1 && PyErr_Occurred()) return false;
    if (fd < 0 || fd > INT_MAX) return PyErr_SetString(PyExc_ValueError, "bad file descriptor"), false;
    fd_ = static_cast<int>(fd);
    return true;
}

bool OutputFile::write_in_place()
{
    buffered_ = 0;
    if (plan_) {
        drop_temp();
        return open_in_folder();
    }
    discard();
    return open_in_place(path_.get());
}

bool OutputFile::write_out(const uint8_t* data, size_t size)
{
    while (size > 0) {
        const size_t piece = std::min(size, kMaxWrite);
        const int fd = fd_;
        const SysResult done = without_gil([&] {
            const ssize_t written = ::write(fd, data, piece);
            return SysResult{written, written < 0 ? errno : 0};
        });
        if (done.value < 0) {
            // A signal: its handler runs (Ctrl-C raises), then the write goes on.
            if (done.error == EINTR) {
                if (PyErr_CheckSignals() < 0) return false;
                continue;
            }
            errno = done.error;
            PyErr_SetFromErrno(PyExc_OSError);
            return false;
        }
        if (done.value == 0) {  // cannot happen for size > 0; never loop on it
            errno = EIO;
            PyErr_SetFromErrno(PyExc_OSError);
            return false;
        }
        data += done.value;
        size -= static_cast<size_t>(done.value);
        // A signal can cut a write short instead of failing it: run its handler before
        // blocking again, maybe for good.
        if (static_cast<size_t>(done.value) < piece && size > 0 && PyErr_CheckSignals() < 0) return false;
    }
    return true;
}

bool OutputFile::flush()
{
    const size_t size = std::exchange(buffered_, 0);
    return write_out(buffer_.get(), size);
}

bool OutputFile::write(std::span<const uint8_t> data)
{
    if (data.size() <= kBufferSize - buffered_) {
        if (!data.empty()) std::memcpy(buffer_.get() + buffered_, data.data(), data.size());
        buffered_ += data.size();
        return true;
    }
    if (!flush()) return false;
    if (data.size() < kBufferSize) {
        std::memcpy(buffer_.get(), data.data(), data.size());
        buffered_ = data.size();
        return true;
    }
    return write_out(data.data(), data.size());
}

OutputFile::Commit OutputFile::commit()
{
    if (!flush()) return Commit::kFailed;
    if (file_) {
        Ref file = std::move(file_);
        fd_ = -1;
        return close_host_file(file.get()) ? Commit::kDone : Commit::kFailed;
    }
    const int fd = std::exchange(fd_, -1);
    const Plan* plan = plan_.get();
    if (!temp_made_) {  // written in place
        const SysResult closed = without_gil([&] { return SysResult{close(fd), errno}; });
        plan_.reset();
        if (closed.value == 0 || closed.error == EINTR) return Commit::kDone;
        errno = closed.error;
        PyErr_SetFromErrno(PyExc_OSError);
        return Commit::kFailed;
    }
    // The new file is complete: sync and close it, then rename it over the target.
    int failed_step = 0;
    const SysResult done = without_gil([&] {
        // A write error held back by the filesystem (space taken only at write-back, a
        // network disk) shows here at the latest. A filesystem that cannot sync is let be.
        if (kSyncBeforeRename && fsync(fd) != 0 && errno != EINVAL && errno != ENOTSUP && errno != ENOSYS) {
            const int error = errno;
            close(fd);
            return SysResult{-1, error};
        }
        if (close(fd) != 0 && errno != EINTR) return SysResult{-1, errno};
        failed_step = 1;
        if (renameat(plan->dir, plan->temp, plan->dir, plan->name) != 0) return SysResult{-1, errno};
        return SysResult{0, 0};
    });
    if (done.value == 0) {
        temp_made_ = false;
        plan_.reset();
        return Commit::kDone;
    }
    drop_temp();  // the new file goes; the folder stays, for writing in place
    if (failed_step == 1) return Commit::kRefused;
    plan_.reset();
    errno = done.error;
    PyErr_SetFromErrno(PyExc_OSError);
    return Commit::kFailed;
}

}  // namespace qv
