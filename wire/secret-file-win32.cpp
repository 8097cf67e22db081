// The secret's file on Windows. Its access rights are not checked: the file lives in the
// user's own profile folder, which other users cannot read unless someone opened it to them.
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "wire/secret-file.h"

bool secret_file_read(const std::string& path, std::size_t max_size, std::string* contents,
                      std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = "cannot read " + path;
        return false;
    }
    contents->clear();
    char c;
    while (contents->size() < max_size && file.get(c)) contents->push_back(c);
    if (file.bad()) {
        *error = "cannot read " + path;
        return false;
    }
    return true;
}

std::string secret_file_default_path() {
    const char* app_data = std::getenv("APPDATA");
    if (app_data != nullptr && app_data[0] != '\0')
        return std::string(app_data) + "\\jtag-varnax\\secret";
    return "";
}
