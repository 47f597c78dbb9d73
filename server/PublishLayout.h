// What a publish directory holds, shared by larch-server and 'larchtool publish':
//   NAME_V.pkg                  the package of version V of component NAME
//   ClientConfigRecord.blob     the client config record the configuration server serves
// The record is only ever replaced whole (written beside and renamed), so that a reader sees
// the old record or the new one, never a mixture.
#pragma once

#include <cstdint>

namespace larchserver {

constexpr char sc_szClientConfigRecordFile[] = "ClientConfigRecord.blob";

// Fields of the client config record beside the three version numbers the bootstrapper reads:
// the names of the published components, for the operator (the bootstrapper skips them).
constexpr uint32_t sc_uBootstrapComponentField = 3;
constexpr uint32_t sc_uClientAppComponentField = 4;

// The layout version written into field 0.
constexpr uint32_t sc_uRecordLayoutVersion = 1;

}  // namespace larchserver
