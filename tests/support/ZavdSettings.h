// Settings that pass zavd's check of its settings, for tests whose session program (the
// probe) reads little of them: a key-set file made in the work directory and the shipped
// key table.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "service/ZavdKeyFile.h"
#include "support/TestSupport.h"
#include "transport/ZSsh.h"

namespace test {

// Writes work's zav.ini: the two settings zavd cannot do without, then lines; and the
// key-set file, unless it is there.
inline void WriteZavdSettings(const TempDir& work, const std::string& lines) {
    WriteFile(work / "zav.ini",
              "[ZTerm]\nrsakey_file=zav_key\nkey_init=" ZAV_CONFIG_DIR "/zav_keys.ini\n" + lines);
    std::string error;
    ASSERT_NE(ZavdKeyFile::Create(work / "zav_key", ZSsh::kKeysetPassword, error),
              ZavdKeyFile::Result::Failed)
        << error;
}

}  // namespace test
