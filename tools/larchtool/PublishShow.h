// 'larchtool publish --show': what a publish directory serves, for the operator to read.
#pragma once

#include <string>

namespace larchtool {

// Prints the published bootstrapper and client application (package, size, SHA-256 and whether
// the file still matches the record), the deltas the record offers (each with its file's state
// as well), the record's sequence number, signature and expiry, and the other packages.
void ShowPublished(const std::string& sDir);

}  // namespace larchtool
