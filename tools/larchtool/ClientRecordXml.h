// The XML form of the client config record, for 'larchtool config to-xml' and 'from-xml'. The
// record is a blob of numbered fields, not a configuration record of typed items, so it has a
// form of its own:
//   <ClientConfigRecord>
//   	<Field Id="1" Name="CurrentClientBootstrapVersion" Type="uint32">2</Field>
//   	...
//   </ClientConfigRecord>
// Type is uint32 or uint64 (decimal, stored little-endian), string (stored with its NUL) or
// hex (the bytes as they are). Id decides the field; Name only helps the reader. Reading the
// text back gives the same fields, so a signature over them still verifies.
#pragma once

#include <string>
#include <vector>

#include "protocols/ClientConfigDBKeyRecord.h"

namespace larchtool {

class CClientRecordXml {
 public:
  static std::string Write(const Weft::CClientConfigRecord& record);
  // False when the text's root element is not "ClientConfigRecord" (another form); throws
  // "ClientConfigRecord XML: ..." for a bad text and the record's own refusals.
  static bool Read(const std::string& sXml, std::vector<uint8_t>& image);
};

}  // namespace larchtool
