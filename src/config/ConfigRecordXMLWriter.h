// The XML form of configuration records: the writer, which is also the record validator.
//
// Layout, one element per line, one tab per level, every line ending in "\n":
//   <?xml version="1.0" ?>
//   <ConfigRecord>
//   \t<ConfigItemRecord Name="N" >
//   \t\t<Type>5</Type>  <Active>1</Active>  <Description>D</Description>  <Value>V</Value>
//   \t</ConfigItemRecord>
//   </ConfigRecord>
// A namespace item writes Type and Active, then its nested record on the item's field level
// (no Description, no Value). Types 0, 6 and 7 have no Value element.
//
// Every function takes an optional stream: without one nothing is written but every check
// runs, which makes WriteRecord(record, nullptr, 0) the validator. Texts are written as stored
// when they hold nothing that XML treats specially; "&", "<", ">" and quotes are escaped (and
// tab, line feed and carriage return inside the Name attribute), so that every record reads
// back as written. A text that XML 1.0 cannot carry at all (other control characters, bytes
// that are not UTF-8) makes the writer throw std::runtime_error; validation is not affected.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace common {

class CConfigRecord;
class CConfigItemRecord;

class CConfigRecordXMLWriter {
 public:
  // The header line, then the record at level 0.
  static void Write(const CConfigRecord& record, std::ostream& os);

  static void WriteRecord(const CConfigRecord& record, std::ostream* pOs, unsigned uLevel);
  // The item's element lines at uLevel (its start and end lines belong to the record).
  static void WriteItem(const CConfigItemRecord& item, std::ostream* pOs, unsigned uLevel);

  // Element lines: tabs, <Name>value</Name>, "\n".
  static void WriteSignedElement(std::ostream* pOs, const char* pszElement, long nValue,
                                 unsigned uLevel);
  static void WriteUnsignedElement(std::ostream* pOs, const char* pszElement, unsigned long uValue,
                                   unsigned uLevel);
  static void WriteTextElement(std::ostream* pOs, const char* pszElement, const char* pszValue,
                               unsigned uLevel);
  static void WriteStringElement(std::ostream* pOs, const char* pszElement,
                                 const std::string& sValue, unsigned uLevel);
  // Tag lines: tabs, <Name> or </Name>, "\n"; the item start tag carries the Name attribute.
  static void WriteOpenTag(std::ostream* pOs, const char* pszElement, unsigned uLevel);
  static void WriteCloseTag(std::ostream* pOs, const char* pszElement, unsigned uLevel);
  static void WriteItemStartTag(std::ostream* pOs, const std::string& sItemName, unsigned uLevel);

  // The text with the characters that XML would change escaped; bAttribute also protects the
  // white space that attribute values lose. Throws for texts XML cannot carry.
  static std::string EscapeText(const std::string& sText, bool bAttribute);

 private:
  // uDepth counts the namespaces entered; too deep a nesting is refused before the stack is.
  static void WriteRecordAt(const CConfigRecord& record, std::ostream* pOs, unsigned uLevel,
                            unsigned uDepth);
  static void WriteItemAt(const CConfigItemRecord& item, std::ostream* pOs, unsigned uLevel,
                          unsigned uDepth);
  static void WriteNestedRecord(const CConfigItemRecord& item, std::ostream* pOs, unsigned uLevel,
                                unsigned uDepth);
};

}  // namespace common
