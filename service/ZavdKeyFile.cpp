#include "service/ZavdKeyFile.h"

#include <fcntl.h>
#include <libssh/libssh.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
    // Written under a temporary name created with mode 0600, then moved into place, so
    // the key is never readable by others, not even for a moment, and a crash leaves no
    // half-written key-set file behind.
    const std::string temporary = path + ".new";
    ::unlink(temporary.c_str());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot create " + temporary + ": " + ErrorText(errno);
        ssh_key_free(key);
        return Result::Failed;
    }
    ::close(fd);
    const int rc =
        ssh_pki_export_privkey_file(key, password.c_str(), nullptr, nullptr, temporary.c_str());
    ssh_key_free(key);
    if (rc != SSH_OK || ::chmod(temporary.c_str(), 0600) != 0 ||
        ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path;
        ::unlink(temporary.c_str());
        return Result::Failed;
    }
    return Result::Created;
}

std::string ZavdKeyFile::PathFromSettings(const std::string& workdir) {
    char value[1000] = {};
    const std::string ini = workdir + "/zav.ini";
    GetPrivateProfileStringA("ZTerm", "rsakey_file", "", value, sizeof value, ini.c_str());
    std::string name = value;
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
