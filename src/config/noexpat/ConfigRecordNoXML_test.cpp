#include <gtest/gtest.h>

#include <sstream>

#include "config/ConfigRecord.h"
#include "config/ConfigRecordXMLWriter.h"
#include "config/ConfigTestUtil.h"

using common::CConfigRecord;

// Without the parser library the XML form can be written but not read; reading says so.
TEST(ConfigRecordWithoutXMLParser, WritesButRefusesToRead) {
  CConfigRecord record;
  record.SetString("N", "V", true, "D");
  std::ostringstream os;
  common::CConfigRecordXMLWriter::Write(record, os);
  std::string sXml = os.str();
  config_test::ExpectThrowText<std::runtime_error>(
      [&] { CConfigRecord parsed(sXml.data(), sXml.size()); },
      "CConfigRecord: reading the XML form is not part of this build");
}
