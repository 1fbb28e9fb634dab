/*
 * store_folder.cpp - listing, entering and opening in the store, per platform.
 *
 * POSIX: every folder is held open, and what is in it is reached relative to
 * it (openat, fstatat) with O_NOFOLLOW, so no link is followed anywhere.
 * Windows: every folder is held open and listed through its handle; names are
 * opened with FILE_FLAG_OPEN_REPARSE_POINT, so a reparse point (symbolic link,
 * junction, mount point) is opened as itself and refused.  On both, what was
 * opened must carry the identity the listing saw.
 */
#include "store_folder.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <memory>

namespace fs = std::filesystem;

#ifdef _WIN32

namespace {

/* Windows file names are UTF-16: members carry them as UTF-8. */
std::string member_name(const std::wstring &name) { return fs::path(name).u8string(); }

HANDLE open_by_name(const fs::path &path, DWORD access, DWORD flags)
{
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, flags, nullptr);
}

/* What an open handle is, or false when the system cannot say. */
bool describe(HANDLE h, BY_HANDLE_FILE_INFORMATION &about)
{
    return GetFileInformationByHandle(h, &about) != 0;
}

bool is_entry(const BY_HANDLE_FILE_INFORMATION &about, const file_id &id)
{
    uint64_t index = (uint64_t{about.nFileIndexHigh} << 32) | about.nFileIndexLow;
    return (about.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
           about.dwVolumeSerialNumber == id.device && index == id.inode;
}

/* A FILETIME (100 ns steps since 1601) as whole seconds since 1970, rounded
 * down, so that every time a file can carry reads back. */
int64_t unix_seconds(FILETIME t)
{
    const int64_t ticks_per_second = 10000000, ticks_1601_to_1970 = 116444736000000000;
    int64_t ticks = static_cast<int64_t>((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime);
    int64_t since_1970 = ticks - ticks_1601_to_1970;
    int64_t seconds = since_1970 / ticks_per_second;
    return since_1970 % ticks_per_second < 0 ? seconds - 1 : seconds;
}

/* Makes folder the owner of h, an open handle for path, which must be a folder. */
bool hold_folder(HANDLE h, const fs::path &path, store_folder &folder,
                 BY_HANDLE_FILE_INFORMATION &about)
{
    if (h == INVALID_HANDLE_VALUE)
        return false;
    folder.handle = h;
    folder.path = path;
    if (!describe(h, about) || !(about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    folder.volume = about.dwVolumeSerialNumber;
    return true;
}

} // namespace

store_folder::~store_folder()
{
    if (handle)
        CloseHandle(handle);
}

fs::path store_root(const char *drive)
{
    int size = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, drive, -1, nullptr, 0);
    if (size <= 0)
        return {};
    std::wstring root(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, drive, -1, &root[0], size);
    root.resize(static_cast<size_t>(size) - 1);
    if (root.size() == 2 && root[1] == L':')
        root += L'\\';
    return fs::path(root);
}

bool open_store_root(const fs::path &root, store_folder &folder)
{
    BY_HANDLE_FILE_INFORMATION about;
    return hold_folder(open_by_name(root, GENERIC_READ, FILE_FLAG_BACKUP_SEMANTICS), root,
                       folder, about);
}

bool list_folder(const store_folder &folder, std::vector<folder_entry> &entries)
{
    /* Read through the folder's handle: the listing is of the folder held. */
    std::vector<uint64_t> buffer(8 * 1024); /* 64 KiB, aligned for the entries */
    const auto *bytes = reinterpret_cast<const unsigned char *>(buffer.data());
    auto kind = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder.handle, kind, buffer.data(),
                                        static_cast<DWORD>(buffer.size() * sizeof buffer[0]))) {
        kind = FileIdBothDirectoryInfo;
        for (size_t at = 0;;) {
            const auto &e = *reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(bytes + at);
            std::wstring name(e.FileName, e.FileNameLength / sizeof(WCHAR));
            bool is_folder = (e.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            bool is_link = (e.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            if (name != L"." && name != L".." && !is_link) {
                std::string key = member_name(name) + (is_folder ? "/" : "");
                entries.push_back({name, key, is_folder,
                                   {folder.volume, static_cast<uint64_t>(e.FileId.QuadPart)}});
            }
            if (e.NextEntryOffset == 0)
                break;
            at += e.NextEntryOffset;
        }
    }
    return GetLastError() == ERROR_NO_MORE_FILES;
}

bool open_subfolder(const store_folder &parent, const folder_entry &entry, store_folder &sub)
{
    fs::path path = parent.path / entry.native;
    HANDLE h = open_by_name(path, GENERIC_READ,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    BY_HANDLE_FILE_INFORMATION about;
    return hold_folder(h, path, sub, about) && is_entry(about, entry.id);
}

std::FILE *open_record(const store_folder &folder, const folder_entry &entry, member_info &info)
{
    HANDLE h = open_by_name(folder.path / entry.native, GENERIC_READ,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    BY_HANDLE_FILE_INFORMATION about;
    if (!describe(h, about) || (about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !is_entry(about, entry.id)) {
        CloseHandle(h);
        return nullptr;
    }
    bool read_only = (about.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    info = {(uint64_t{about.nFileSizeHigh} << 32) | about.nFileSizeLow,
            unix_seconds(about.ftLastWriteTime), read_only ? 0444u : 0666u};
    /* The C runtime takes the handle over, and closes it with the stream. */
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE *f = _fdopen(fd, "rb");
    if (!f)
        _close(fd);
    return f;
}

#else

namespace {

bool is_entry(const struct stat &st, const file_id &id)
{
    return static_cast<uint64_t>(st.st_dev) == id.device &&
           static_cast<uint64_t>(st.st_ino) == id.inode;
}

struct dir_closer {
    void operator()(DIR *d) const { closedir(d); }
};

} // namespace

store_folder::~store_folder()
{
    if (fd >= 0)
        close(fd);
}

fs::path store_root(const char *drive) { return fs::path(drive); }

bool open_store_root(const fs::path &root, store_folder &folder)
{
    folder.fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return folder.fd >= 0;
}

bool list_folder(const store_folder &folder, std::vector<folder_entry> &entries)
{
    int fd = dup(folder.fd); /* the listing's own, closed with it */
    std::unique_ptr<DIR, dir_closer> dir(fd >= 0 ? fdopendir(fd) : nullptr);
    if (!dir) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    rewinddir(dir.get());
    for (;;) {
        errno = 0;
        const dirent *d = readdir(dir.get());
        if (!d)
            return errno == 0;
        std::string name = d->d_name;
        struct stat st;
        if (name == "." || name == "..")
            continue;
        if (fstatat(folder.fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue; /* gone since the listing began: not a record now */
            return false;
        }
        bool is_folder = S_ISDIR(st.st_mode);
        if (!is_folder && !S_ISREG(st.st_mode))
            continue; /* links, FIFOs, devices: not records */
        /* POSIX file names are bytes: members carry them unchanged. */
        std::string key = name + (is_folder ? "/" : "");
        entries.push_back({name, key, is_folder,
                           {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)}});
    }
}

bool open_subfolder(const store_folder &parent, const folder_entry &entry, store_folder &sub)
{
    sub.fd = openat(parent.fd, entry.native.c_str(),
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    return sub.fd >= 0 && fstat(sub.fd, &st) == 0 && is_entry(st, entry.id);
}

std::FILE *open_record(const store_folder &folder, const folder_entry &entry, member_info &info)
{
    /* Non-blocking, so that a FIFO swapped in cannot hold the export open. */
    int fd = openat(folder.fd, entry.native.c_str(),
                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !is_entry(st, entry.id)) {
        close(fd);
        return nullptr;
    }
    info = {static_cast<uint64_t>(st.st_size), static_cast<int64_t>(st.st_mtime),
            static_cast<unsigned>(st.st_mode) & 0777u};
    std::FILE *f = fdopen(fd, "rb");
    if (!f)
        close(fd);
    return f;
}

#endif
