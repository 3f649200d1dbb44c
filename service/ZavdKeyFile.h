// The server's key-set file: an Ed25519 key in an OpenSSH private key file, encrypted
// with the key-set password, readable by its owner only.
#pragma once

#include <string>

class ZavdKeyFile {
  public:
    enum class Result { Created, Exists, Failed };
    // Creates the file at path unless something is there already.
    static Result Create(const std::string& path, const std::string& password, std::string& error);
    // The key file named by rsakey_file in workdir's zav.ini, relative to workdir; empty
    // when the setting is empty.
    static std::string PathFromSettings(const std::string& workdir);
    // rsakey_file in workdir's zav.ini as it is written there.
    static std::string NameFromSettings(const std::string& workdir);
};
