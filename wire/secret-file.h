// Reading a private file and finding the per-user configuration folder, per operating system.
#pragma once
#include <cstddef>
#include <string>

// The file's bytes (at most max_size of them); false, with *error, when it cannot be read or
// is not a regular file, or when other users may read or change it.
bool secret_file_read(const std::string& path, std::size_t max_size, std::string* contents,
                      std::string* error);
// Creates path with contents, readable and writable by its owner only; false, with *error,
// when the file exists already or cannot be written.
bool secret_file_create(const std::string& path, const std::string& contents, std::string* error);
// The per-user secret file used when JTAG_VARNAX_SECRET_FILE is not set (in this user's
// settings folder; not created); empty when this user has no such folder.
std::string secret_file_default_path();
