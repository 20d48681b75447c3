// File system helpers: the working directory and crash-safe rewrites.
#pragma once
#include <cstddef>

// True when `path` exists and is a directory.
int isdir(const char *path);
// Makes the directory of the running executable the working directory.
void cwdir();
// Replaces `path` with `len` bytes of `data`: writes "<path>.tmp", flushes,
// fsyncs and renames it over `path`, then fsyncs the directory. On any failure
// the old file is left whole, the temporary file removed, and false returned.
bool file_write_atomic(const char *path, const char *data, size_t len);
// True when a file can be created in the working directory (the state
// directory): a file is made, written, synced and removed.
bool state_dir_writable();
// The same through the temporary file `tmp` (same directory as `path`), for
// directories whose readers could mistake "<path>.tmp" for a file of their own.
bool file_write_atomic_via(const char *path, const char *tmp, const char *data, size_t len);
