// Reading a private file and finding the per-user configuration folder, per operating system.
#pragma once
#include <cstddef>
#include <string>

// The file's bytes (at most max_size of them); false, with *error, when it cannot be read or
// is not a regular file, or when other users may read or change it.
bool secret_file_read(const std::string& path, std::size_t max_size, std::string* contents,
                      std::string* error);
// The folder for this user's settings of the library (not created); empty when unknown.
std::string secret_file_user_folder();
