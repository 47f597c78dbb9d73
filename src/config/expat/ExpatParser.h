// A thin object layer over one expat parser, with nesting: a parser object may hand the events
// of an element's content to a nested parser object, which hands control back when that
// element ends. Used by the configuration record XML parser.
//
// expatpp owns one XML_Parser and forwards expat's callbacks to its virtual operations.
// expatppNesting adds the hand-over: a nested object shares its parent's XML_Parser; every
// object counts the elements it has opened; at an element end, while the receiving object's
// count is 0, control returns to its parent, and the object reached gets the end call.
//
// A C++ exception thrown by a handler never unwinds through expat: the trampoline stores it,
// stops the parser, and Parse() rethrows it unchanged once expat has returned.
//
// Ownership: the root object owns the XML_Parser and frees it in its destructor; nested objects
// only borrow it and must be destroyed before their parent. One thread at a time.
#pragma once

#include <expat.h>

#include <exception>
#include <string>

namespace common {

class expatpp {
 public:
  expatpp();
  virtual ~expatpp();
  expatpp(const expatpp&) = delete;
  expatpp& operator=(const expatpp&) = delete;

  // Element events; the default implementations ignore them.
  virtual void startElement(const XML_Char* pszName, const XML_Char** ppszAttributes);
  virtual void endElement(const XML_Char* pszName);
  virtual void charData(const XML_Char* pChars, int nLength);
  // The further expat events; nothing of the configuration form uses them.
  virtual void processingInstruction(const XML_Char* pszTarget, const XML_Char* pszData);
  virtual void comment(const XML_Char* pszText);
  virtual void startCdataSection();
  virtual void endCdataSection();
  virtual void defaultHandler(const XML_Char* pChars, int nLength);
  virtual void startNamespace(const XML_Char* pszPrefix, const XML_Char* pszUri);
  virtual void endNamespace(const XML_Char* pszPrefix);

  // Feeds the text to expat; bIsFinal marks the last piece. A handler's exception is rethrown
  // here; otherwise expat's status is returned.
  XML_Status Parse(const char* pText, size_t uLength, bool bIsFinal);

  XML_Parser GetParser() const { return m_Parser; }
  // Expat's text for its current error code and the 1-based line of the error.
  std::string GetErrorText() const;
  unsigned long GetCurrentLineNumber() const;

 protected:
  // A nested object: borrows the parser of pShareParserOf.
  explicit expatpp(const expatpp* pShareParserOf);

  // Every expat callback lands on the object that currently has control. The nesting layer
  // overrides these to move control before the event is delivered.
  virtual void OnStartElement(const XML_Char* pszName, const XML_Char** ppszAttributes);
  virtual void OnEndElement(const XML_Char* pszName);

  // Makes pTarget the receiver of the following expat events.
  void RouteEventsTo(expatpp* pTarget);

 private:
  void InstallHandlers();
  // Runs one handler call; an exception is kept for Parse() and the parse is stopped.
  template <class Fn>
  static void Guarded(void* pUserData, Fn fn);

  static void XMLCALL StartElementCallback(void* pUserData, const XML_Char* pszName,
                                           const XML_Char** ppszAttributes);
  static void XMLCALL EndElementCallback(void* pUserData, const XML_Char* pszName);
  static void XMLCALL CharDataCallback(void* pUserData, const XML_Char* pChars, int nLength);
  static void XMLCALL ProcessingInstructionCallback(void* pUserData, const XML_Char* pszTarget,
                                                    const XML_Char* pszData);
  static void XMLCALL CommentCallback(void* pUserData, const XML_Char* pszText);
  static void XMLCALL StartCdataCallback(void* pUserData);
  static void XMLCALL EndCdataCallback(void* pUserData);
  static void XMLCALL DefaultCallback(void* pUserData, const XML_Char* pChars, int nLength);
  static void XMLCALL StartNamespaceCallback(void* pUserData, const XML_Char* pszPrefix,
                                             const XML_Char* pszUri);
  static void XMLCALL EndNamespaceCallback(void* pUserData, const XML_Char* pszPrefix);

  XML_Parser m_Parser = nullptr;
  bool m_bOwnsParser = false;
  // The root object of the parser: where a handler's exception waits for Parse().
  expatpp* m_pRoot = nullptr;
  std::exception_ptr m_pPendingException;
};

class expatppNesting : public expatpp {
 public:
  // A root parser object.
  expatppNesting();
  // A nested parser object sharing the parent's expat parser; it receives events only after
  // the parent hands control to it.
  explicit expatppNesting(expatppNesting* pParent);
  // Hands control back to the parent if this object still has it.
  ~expatppNesting() override;

 protected:
  // Called from the parent's startElement: the nested object receives everything inside the
  // element being started; that element's end tag comes back to the parent.
  void HandControlTo(expatppNesting* pNested);

  void OnStartElement(const XML_Char* pszName, const XML_Char** ppszAttributes) override;
  void OnEndElement(const XML_Char* pszName) override;

 private:
  expatppNesting* m_pParent = nullptr;
  unsigned long m_uDepth = 0;  // elements opened by this object and not yet closed
};

}  // namespace common
