// The secret's file on Windows: its access control list is checked, like a private key's. Only
// its owner, the user this program runs as, the system itself (LocalSystem) and the
// Administrators may be allowed to read or change it; anyone else named by an allowing entry,
// or a file with no list at all (open to everyone), is refused. A new secret's file is made
// private to this user.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdlib>

#include "wire/secret-file.h"

namespace {

// Rights that let someone else learn or replace the secret.
constexpr ACCESS_MASK revealing = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA |
                                  GENERIC_READ | GENERIC_WRITE | GENERIC_ALL | WRITE_DAC |
                                  WRITE_OWNER;

std::string account_name(PSID sid) {
    char name[256], domain[256];
    DWORD name_size = sizeof name, domain_size = sizeof domain;
    SID_NAME_USE use;
    if (LookupAccountSidA(nullptr, sid, name, &name_size, domain, &domain_size, &use))
        return domain_size > 0 && domain[0] != '\0' ? std::string(domain) + "\\" + name : name;
    char* text = nullptr;
    std::string shown = ConvertSidToStringSidA(sid, &text) ? text : "an unknown account";
    if (text != nullptr) LocalFree(text);
    return shown;
}

bool is_well_known(PSID sid, WELL_KNOWN_SID_TYPE type) {
    return IsWellKnownSid(sid, type) != 0;
}

// Whether sid is the user this program runs as: a file made from an elevated prompt is owned
// by the Administrators, and its user's own entry is then no one else's.
bool is_this_user(PSID sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    alignas(TOKEN_USER) char buffer[256];
    DWORD size = 0;
    bool same = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
                EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, sid);
    CloseHandle(token);
    return same;
}

// Empty when only the owner and the system's own accounts may read or change the file; else
// who else may.
std::string others_with_access(HANDLE file, std::string* error) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD status = GetSecurityInfo(file, SE_FILE_OBJECT,
                                   OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                   nullptr, &dacl, nullptr, &descriptor);
    if (status != ERROR_SUCCESS) {
        *error = "its access rights cannot be read (error " + std::to_string(status) + ")";
        return "";
    }
    std::string others;
    if (dacl == nullptr) others = "everyone (the file has no access control list)";
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount && others.empty(); ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
        // Entries that only pass on to files made inside a folder do not apply to this one.
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        PSID sid = &ace->SidStart;
        if ((ace->Mask & revealing) == 0 || EqualSid(sid, owner) || is_this_user(sid) ||
            is_well_known(sid, WinLocalSystemSid) || is_well_known(sid, WinBuiltinAdministratorsSid))
            continue;
        others = account_name(sid);
    }
    LocalFree(descriptor);
    return others;
}

}  // namespace

bool secret_file_read(const std::string& path, std::size_t max_size, std::string* contents,
                      std::string* error) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = "cannot read " + path;
        return false;
    }
    std::string why;
    bool ok = GetFileType(file) == FILE_TYPE_DISK;
    if (!ok) *error = path + " is not a regular file";
    std::string others = ok ? others_with_access(file, &why) : "";
    if (ok && !why.empty()) {
        *error = "cannot check who may read " + path + ": " + why;
        ok = false;
    } else if (ok && !others.empty()) {
        *error = path + " can be read or changed by other users (" + others +
                 "); make it private with: icacls \"" + path +
                 "\" /inheritance:r /grant:r \"%USERNAME%:F\"";
        ok = false;
    }
    contents->clear();
    char chunk[512];
    while (ok && contents->size() < max_size) {
        DWORD n = 0;
        if (!ReadFile(file, chunk, sizeof chunk, &n, nullptr)) {
            *error = "cannot read " + path;
            ok = false;
        }
        if (n == 0) break;
        contents->append(chunk, n);
    }
    CloseHandle(file);
    if (contents->size() > max_size) contents->resize(max_size);
    return ok;
}

// A security descriptor that lets only the user this program runs as at the file, inheriting
// nothing from the folder: the new secret passes secret_file_read's check. Null on failure.
PSECURITY_DESCRIPTOR private_descriptor() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
    char buffer[256];
    DWORD size = 0;
    BOOL ok = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
    CloseHandle(token);
    char* sid = nullptr;
    if (!ok || !ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid))
        return nullptr;
    std::string sddl = std::string("D:P(A;;FA;;;") + sid + ")";
    LocalFree(sid);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return nullptr;
    return descriptor;
}

bool secret_file_create(const std::string& path, const std::string& contents, std::string* error) {
    PSECURITY_DESCRIPTOR descriptor = private_descriptor();
    if (descriptor == nullptr) {
        *error = "cannot make " + path + " private to this user";
        return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    LocalFree(descriptor);
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
