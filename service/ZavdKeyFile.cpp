#include "service/ZavdKeyFile.h"

#include <fcntl.h>
#include <libssh/libssh.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "base/UniqueFd.h"
#include "service/ErrorText.h"
#include "win32/Win32.h"

ZavdKeyFile::Result ZavdKeyFile::Create(const std::string& path, const std::string& password,
                                        std::string& error) {
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
        return Result::Exists;
    }
    ssh_key key = nullptr;
    if (ssh_pki_generate(SSH_KEYTYPE_ED25519, 0, &key) != SSH_OK) {
        error = "cannot generate a key";
        return Result::Failed;
    }
    char* text = nullptr;
    const int rc = ssh_pki_export_privkey_base64(key, password.c_str(), nullptr, nullptr, &text);
    ssh_key_free(key);
    if (rc != SSH_OK || text == nullptr) {
        error = "cannot export the key";
        return Result::Failed;
    }
    const std::string_view contents(text);
    // Written by this process through its own descriptor under a temporary name created
    // with mode 0600 (never through a link planted under that name), then moved into
    // place, so the key is never readable by others, not even for a moment, and a crash
    // leaves no half-written key-set file behind. The file belongs to the account that
    // runs this: root, or the account of a trial run, as the sessions require.
    const std::string temporary = path + ".new";
    ::unlink(temporary.c_str());
    const UniqueFd fd(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.Valid()) {
        error = "cannot create " + temporary + ": " + ErrorText(errno);
        ::explicit_bzero(text, contents.size());
        ssh_string_free_char(text);
        return Result::Failed;
    }
    bool written = ::fchmod(fd.Get(), 0600) == 0;
    for (std::string_view rest = contents; written && !rest.empty();) {
        const ssize_t n = ::write(fd.Get(), rest.data(), rest.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        written = n > 0;
        if (written) {
            rest.remove_prefix(static_cast<std::size_t>(n));
        }
    }
    ::explicit_bzero(text, contents.size());
    ssh_string_free_char(text);
    if (!written || ::fsync(fd.Get()) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + ErrorText(errno);
        ::unlink(temporary.c_str());
        return Result::Failed;
    }
    return Result::Created;
}

std::string ZavdKeyFile::NameFromSettings(const std::string& workdir) {
    char value[1000] = {};
    const std::string ini = workdir + "/zav.ini";
    GetPrivateProfileStringA("ZTerm", "rsakey_file", "", value, sizeof value, ini.c_str());
    return value;
}

std::string ZavdKeyFile::PathFromSettings(const std::string& workdir) {
    std::string name = NameFromSettings(workdir);
    if (name.empty() || name == "eof") {
        return {};
    }
    for (char& c : name) {
        if (c == '\\') {
            c = '/';
        }
    }
    return name[0] == '/' ? name : workdir + "/" + name;
}
