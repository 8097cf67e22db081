// The secret's file on Windows. Its access rights are not checked: the file lives in the
// user's own profile folder, which other users cannot read unless someone opened it to them.
#include <windows.h>

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

bool secret_file_create(const std::string& path, const std::string& contents, std::string* error) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = GetLastError() == ERROR_FILE_EXISTS ? path + " exists already; it is left as it is"
                                                     : "cannot create " + path;
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(file, contents.data(), DWORD(contents.size()), &written, nullptr) &&
              written == contents.size();
    ok = CloseHandle(file) && ok;
    if (!ok) {
        *error = "cannot write " + path;
        DeleteFileA(path.c_str());
    }
    return ok;
}

std::string secret_file_default_path() {
    const char* app_data = std::getenv("APPDATA");
    if (app_data != nullptr && app_data[0] != '\0')
        return std::string(app_data) + "\\jtag-varnax\\secret";
    return "";
}
