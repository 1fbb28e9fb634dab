/*
 * store_folder.h - the stand-in's reach into the store, per platform: list a
 * folder, enter a sub-folder, open a record.  Nothing is reached through a
 * link (symbolic link, junction, mount point), and what is entered or opened
 * must be the very file that was listed, or the call fails: a name swapped
 * for something else during an export never leads outside the store.
 */
#ifndef STORE_FOLDER_H
#define STORE_FOLDER_H

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tar_writer.h"

/* Which file a name stood for when it was listed: device and inode on POSIX,
 * volume serial number and file index on Windows. */
struct file_id {
    uint64_t device, inode;
};

struct folder_entry {
    std::filesystem::path::string_type native; /* its name, as the system spells it */
    std::string key;                           /* its member name's last part, with
                                                   '/' after a folder's */
    bool is_folder;                            /* else a regular file: a record */
    file_id id;
};

/* An open folder of the store; it closes itself. */
struct store_folder {
#ifdef _WIN32
    void *handle = nullptr; /* a HANDLE */
    std::filesystem::path path; /* records are opened by path, then checked */
    uint64_t volume = 0;
#else
    int fd = -1;
#endif
    store_folder() = default;
    store_folder(const store_folder &) = delete;
    store_folder &operator=(const store_folder &) = delete;
    ~store_folder();
};

/* The folder a drive names.  On Windows the drive is in the ANSI code page, as
 * every narrow Windows call takes it, and "E:" alone means the root of drive E;
 * a drive that is not text in that code page names no folder (an empty path). */
std::filesystem::path store_root(const char *drive);

/* Opens the store's own folder, which may well be reached through a link. */
bool open_store_root(const std::filesystem::path &root, store_folder &folder);

/* The records and folders in folder, in no order; links and special files are
 * left out.  False when it cannot be listed. */
bool list_folder(const store_folder &folder, std::vector<folder_entry> &entries);

/* Enters the listed sub-folder entry of parent. */
bool open_subfolder(const store_folder &parent, const folder_entry &entry, store_folder &sub);

/* Opens the listed record entry of folder and fills info from the open file;
 * null when it is not that record any more, or cannot be opened. */
std::FILE *open_record(const store_folder &folder, const folder_entry &entry,
                       member_info &info);

#endif /* STORE_FOLDER_H */
