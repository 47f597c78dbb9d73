// The operator's release-signing key files:
//   KEYFILE      the secret key: its 32-byte seed as 64 lower-case hexadecimal digits and a
//                newline; only its owner may read it
//   KEYFILE.pub  the public key the same way, for branding bootstrappers
// Readers accept the line ending in "\n" or "\r\n" (or in nothing) and nothing else.
#pragma once

#include <string>

#include "security/SigningKey.h"

namespace larchtool {

constexpr const char* sc_pszPublicKeySuffix = ".pub";

// Throws "Cannot open input file NAME: reason" or "NAME is not a secret key file (64 hexadecimal
// digits on one line)"; the text read is wiped.
common::CSigningKey ReadSecretKeyFile(const std::string& sPath);
// The same for a public key file: "NAME is not a public key file (...)".
common::PublicKey ReadPublicKeyFile(const std::string& sPath);

// Writes KEYFILE (private from its creation) and KEYFILE.pub. Throws "NAME exists; not
// overwritten" when either is there, or "Failed to write output file NAME"; then neither
// file is left behind by this call.
void WriteKeyFiles(const std::string& sPath, const common::CSigningKey& key);

}  // namespace larchtool
