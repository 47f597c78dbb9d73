// The parser of the XML form of configuration records (the writer is ConfigRecordXMLWriter).
//
// CConfigRecordXMLParser fills a record: each <ConfigItemRecord Name="..."> element becomes a
// new item, and a CConfigItemRecordXMLParser takes over the element's content. The item parser
// turns Type, Active, Description and Value into the item's fields, and hands a nested
// <ConfigRecord> to a record parser of its own. Other elements are ignored. Field additions
// never replace, so a repeated element or item name fails with the blob's duplicate-field
// exception when it starts; validation after the parse catches everything else.
//
// Items and nested records are built as objects of their own and joined to their parent in
// one step when their record is complete (Flush), so that parsing never edits a deep
// hierarchy of attached objects field by field.
//
// Ownership: a parser owns the objects it creates and destroys nested ones first; the target
// record or item is the caller's.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "config/ConfigRecord.h"
#include "config/expat/ExpatParser.h"

namespace common {

class CConfigItemRecordXMLParser;

class CConfigRecordXMLParser : public expatppNesting {
 public:
  // The root parser of a document.
  explicit CConfigRecordXMLParser(CConfigRecord* pRecord);
  // The parser of a nested record inside an item's element, uDepth namespaces down.
  CConfigRecordXMLParser(expatppNesting* pParent, CConfigRecord* pRecord, unsigned uDepth);
  ~CConfigRecordXMLParser() override;

  void startElement(const XML_Char* pszName, const XML_Char** ppszAttributes) override;
  void endElement(const XML_Char* pszName) override;

  // Adds the completed items to the record.
  void Flush();

 private:
  CConfigRecord* m_pRecord;  // not owned
  unsigned m_uDepth = 0;
  // Declared before its parser, which refers to it and so must go first.
  std::unique_ptr<CConfigItemRecord> m_pCurrentItem;
  std::unique_ptr<CConfigItemRecordXMLParser> m_pItemParser;
  std::string m_sCurrentItemName;
  std::set<std::string> m_ItemNames;  // every item started, for the duplicate check
  std::vector<CMultiFieldBlob::TFieldDescription> m_CompletedItems;
};

class CConfigItemRecordXMLParser : public expatppNesting {
 public:
  CConfigItemRecordXMLParser(expatppNesting* pParent, CConfigItemRecord* pItem, unsigned uDepth);
  ~CConfigItemRecordXMLParser() override;

  void startElement(const XML_Char* pszName, const XML_Char** ppszAttributes) override;
  void endElement(const XML_Char* pszName) override;
  void charData(const XML_Char* pChars, int nLength) override;

 private:
  void AddValueField();
  void AddNestedRecord();

  enum EElementKind {
    eNone = 0,
    eType = 1,
    eActive = 2,
    eDescription = 3,
    eValue = 4,
    eConfigRecord = 5
  };

  CConfigItemRecord* m_pItem;  // not owned
  unsigned m_uDepth;
  std::unique_ptr<CConfigRecord> m_pNestedRecord;
  std::unique_ptr<CConfigRecordXMLParser> m_pNestedParser;
  EElementKind m_eKind = eNone;
  std::string m_sCharData;
  int32_t m_nItemType = 6;  // a type without value form until a Type element says otherwise
};

// The decimal value of a text: leading white space, an optional sign, digits up to the first
// non-digit, accumulated in 32 bits with wrap-around; no digits give 0.
uint32_t ParseConfigDecimal(const std::string& sText);

}  // namespace common
