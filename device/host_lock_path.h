// Host builds: where the lock file of the processes that share a token lives
// (token/process_lock.h). Always in a folder of this user's own, never in a
// folder other users can write (/tmp): $XDG_RUNTIME_DIR/kvp11-locks when
// $XDG_RUNTIME_DIR is an absolute path to a folder of this user's own (a
// directory, not a link, owned by the user, not writable by group or
// others), else kvp11-locks beside the phone mirror's folder
// (DiskMirror::UserBase() + "-locks": ~/.cache/kvp11-locks). The processes of
// one user that use one token meet in one file there.
#ifndef KV_DEVICE_HOST_LOCK_PATH_H
#define KV_DEVICE_HOST_LOCK_PATH_H

#ifndef __ANDROID__

#include <string>

// The folder; empty when neither is known (no runtime folder, no home).
std::string HostLockFolder();

// The lock file of the token known by key (a socket path, a reader name):
// <folder>/<kind>-<name>-<hash>.lock, where name is the key's last 48
// characters with every character but letters, digits, '.' and '-' as '_',
// and hash the 16 hex digits of the key's 64-bit FNV-1a hash, so keys that
// differ only in replaced characters still get files of their own. Empty
// when the folder is.
std::string HostLockPath(const char* kind, const std::string& key);

#endif
#endif
