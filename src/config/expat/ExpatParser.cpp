#include "config/expat/ExpatParser.h"

#include <climits>
#include <new>

namespace common {

expatpp::expatpp() : m_Parser(XML_ParserCreate(nullptr)), m_bOwnsParser(true), m_pRoot(this) {
  if (!m_Parser) throw std::bad_alloc();
  InstallHandlers();
  XML_SetUserData(m_Parser, this);
}

expatpp::expatpp(const expatpp* pShareParserOf)
    : m_Parser(pShareParserOf->m_Parser), m_bOwnsParser(false), m_pRoot(pShareParserOf->m_pRoot) {}

expatpp::~expatpp() {
  if (m_bOwnsParser) XML_ParserFree(m_Parser);
}

void expatpp::InstallHandlers() {
  XML_SetElementHandler(m_Parser, StartElementCallback, EndElementCallback);
  XML_SetCharacterDataHandler(m_Parser, CharDataCallback);
  XML_SetProcessingInstructionHandler(m_Parser, ProcessingInstructionCallback);
  XML_SetCommentHandler(m_Parser, CommentCallback);
  XML_SetCdataSectionHandler(m_Parser, StartCdataCallback, EndCdataCallback);
  // The expanding variant, so that internal entities still reach the character data handler.
  XML_SetDefaultHandlerExpand(m_Parser, DefaultCallback);
  XML_SetNamespaceDeclHandler(m_Parser, StartNamespaceCallback, EndNamespaceCallback);
}

void expatpp::startElement(const XML_Char*, const XML_Char**) {}
void expatpp::endElement(const XML_Char*) {}
void expatpp::charData(const XML_Char*, int) {}
void expatpp::processingInstruction(const XML_Char*, const XML_Char*) {}
void expatpp::comment(const XML_Char*) {}
void expatpp::startCdataSection() {}
void expatpp::endCdataSection() {}
void expatpp::defaultHandler(const XML_Char*, int) {}
void expatpp::startNamespace(const XML_Char*, const XML_Char*) {}
void expatpp::endNamespace(const XML_Char*) {}

void expatpp::OnStartElement(const XML_Char* pszName, const XML_Char** ppszAttributes) {
  startElement(pszName, ppszAttributes);
}

void expatpp::OnEndElement(const XML_Char* pszName) {
  endElement(pszName);
}

void expatpp::RouteEventsTo(expatpp* pTarget) {
  XML_SetUserData(m_Parser, pTarget);
}

XML_Status expatpp::Parse(const char* pText, size_t uLength, bool bIsFinal) {
  // expat takes int lengths: longer texts go in pieces, the last one carrying bIsFinal.
  const size_t uMaxPiece = INT_MAX / 2;
  for (;;) {
    bool bLastPiece = uLength <= uMaxPiece;
    int nPiece = static_cast<int>(bLastPiece ? uLength : uMaxPiece);
    XML_Status eStatus = XML_Parse(m_Parser, pText, nPiece, bLastPiece && bIsFinal);
    if (m_pRoot->m_pPendingException) {
      std::exception_ptr pException = m_pRoot->m_pPendingException;
      m_pRoot->m_pPendingException = nullptr;
      std::rethrow_exception(pException);
    }
    if (eStatus != XML_STATUS_OK || bLastPiece) return eStatus;
    pText += nPiece;
    uLength -= nPiece;
  }
}

std::string expatpp::GetErrorText() const {
  const XML_LChar* pszText = XML_ErrorString(XML_GetErrorCode(m_Parser));
  return pszText ? pszText : "unknown error";
}

unsigned long expatpp::GetCurrentLineNumber() const {
  return static_cast<unsigned long>(XML_GetCurrentLineNumber(m_Parser));
}

template <class Fn>
void expatpp::Guarded(void* pUserData, Fn fn) {
  expatpp* pThis = static_cast<expatpp*>(pUserData);
  // After a failure expat may still deliver an event or two; they are dropped.
  if (pThis->m_pRoot->m_pPendingException) return;
  try {
    fn(pThis);
  } catch (...) {
    pThis->m_pRoot->m_pPendingException = std::current_exception();
    XML_StopParser(pThis->m_Parser, XML_FALSE);
  }
}

void XMLCALL expatpp::StartElementCallback(void* pUserData, const XML_Char* pszName,
                                           const XML_Char** ppszAttributes) {
  Guarded(pUserData, [&](expatpp* p) { p->OnStartElement(pszName, ppszAttributes); });
}

void XMLCALL expatpp::EndElementCallback(void* pUserData, const XML_Char* pszName) {
  Guarded(pUserData, [&](expatpp* p) { p->OnEndElement(pszName); });
}

void XMLCALL expatpp::CharDataCallback(void* pUserData, const XML_Char* pChars, int nLength) {
  Guarded(pUserData, [&](expatpp* p) { p->charData(pChars, nLength); });
}

void XMLCALL expatpp::ProcessingInstructionCallback(void* pUserData, const XML_Char* pszTarget,
                                                    const XML_Char* pszData) {
  Guarded(pUserData, [&](expatpp* p) { p->processingInstruction(pszTarget, pszData); });
}

void XMLCALL expatpp::CommentCallback(void* pUserData, const XML_Char* pszText) {
  Guarded(pUserData, [&](expatpp* p) { p->comment(pszText); });
}

void XMLCALL expatpp::StartCdataCallback(void* pUserData) {
  Guarded(pUserData, [&](expatpp* p) { p->startCdataSection(); });
}

void XMLCALL expatpp::EndCdataCallback(void* pUserData) {
  Guarded(pUserData, [&](expatpp* p) { p->endCdataSection(); });
}

void XMLCALL expatpp::DefaultCallback(void* pUserData, const XML_Char* pChars, int nLength) {
  Guarded(pUserData, [&](expatpp* p) { p->defaultHandler(pChars, nLength); });
}

void XMLCALL expatpp::StartNamespaceCallback(void* pUserData, const XML_Char* pszPrefix,
                                             const XML_Char* pszUri) {
  Guarded(pUserData, [&](expatpp* p) { p->startNamespace(pszPrefix, pszUri); });
}

void XMLCALL expatpp::EndNamespaceCallback(void* pUserData, const XML_Char* pszPrefix) {
  Guarded(pUserData, [&](expatpp* p) { p->endNamespace(pszPrefix); });
}

// ---- Nesting ----------------------------------------------------------------------------

expatppNesting::expatppNesting() = default;

expatppNesting::expatppNesting(expatppNesting* pParent) : expatpp(pParent), m_pParent(pParent) {}

expatppNesting::~expatppNesting() {
  // A nested object that still has control gives it back, so that expat never calls into a
  // destroyed object.
  if (m_pParent && XML_GetUserData(GetParser()) == static_cast<expatpp*>(this)) {
    RouteEventsTo(m_pParent);
  }
}

void expatppNesting::HandControlTo(expatppNesting* pNested) {
  RouteEventsTo(pNested);
}

void expatppNesting::OnStartElement(const XML_Char* pszName, const XML_Char** ppszAttributes) {
  ++m_uDepth;
  startElement(pszName, ppszAttributes);
}

void expatppNesting::OnEndElement(const XML_Char* pszName) {
  expatppNesting* pReceiver = this;
  while (pReceiver->m_uDepth == 0 && pReceiver->m_pParent) {
    pReceiver = pReceiver->m_pParent;
  }
  if (pReceiver != this) RouteEventsTo(pReceiver);
  if (pReceiver->m_uDepth > 0) --pReceiver->m_uDepth;
  pReceiver->endElement(pszName);
}

}  // namespace common
