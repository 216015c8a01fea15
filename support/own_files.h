// Folders and files that no other user can have made or can change: where
// the processes of one user keep what they share (the lock files of their
// tokens). Anything another user could have planted fails these checks and
// is not used. "This user" is the effective user of the process.
#ifndef KV_SUPPORT_OWN_FILES_H
#define KV_SUPPORT_OWN_FILES_H

#include <sys/stat.h>

#include <string>

// A folder only this user can write: a directory (a symbolic link is not,
// as lstat tells), owned by this user, no write for group or others.
bool IsOwnFolder(const struct stat& st);

// A file only this user can change: a regular file owned by this user, no
// write for group or others, one link (a hard link elsewhere is another
// name another user could reach it by).
bool IsOwnFile(const struct stat& st);

// Whether path (not followed when it is a link) is an own folder.
bool IsOwnFolderPath(const std::string& path);

// Creates the folder and any missing parents (mode 0700); true when path is
// then an own folder.
bool MakeOwnFolder(const std::string& path);

// Opens the file at path read-write, creating it (mode 0600) in its folder,
// made first when missing: O_NOFOLLOW and O_CLOEXEC, the folder and the file
// both checked as above on what was opened. -1 when either fails a check
// or cannot be opened; the reason goes to the log.
int OpenOwnFile(const std::string& path);

#endif
