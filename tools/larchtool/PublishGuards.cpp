#include "PublishGuards.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <stdexcept>

#include "ExeBranding.h"
#include "KeyFile.h"
#include "PublishedPackages.h"
#include "ReleaseDirectory.h"
#include "bootstrapper/Branding.h"
#include "package/PkgFile.h"

namespace larchtool {
namespace {

using Weft::CClientConfigRecord;

// Top-level names listed in a refusal, at most.
constexpr size_t sc_uListedNames = 5;

void PublishGuard(const SPublishArgs& args, const std::string& sText) {
  Guard(args.bForce, "publish", sText);
}

const char* RoleText(bool bBootstrapper) {
  return bBootstrapper ? "the bootstrapper" : "the client application";
}

// Clients ask for the packages of the component the record names: another name strands them.
void CheckComponent(const SPublishArgs& args, const CClientConfigRecord& record) {
  SNamedComponent named = NamedComponent(record, args.bBootstrapper);
  if (named.sName.empty() || named.sName == args.sComponent) return;
  PublishGuard(args, std::string("the record names ") + RoleText(args.bBootstrapper) + " " +
                         named.sName + "; publishing " + args.sComponent +
                         " would make clients ask for a package that does not exist: check "
                         "--component");
}

// Clients that installed the version keep its files: new bytes under the same number reach only
// some of them.
void CheckSameVersion(const SPublishArgs& args, EPublishedPackage existing) {
  if (existing != EPublishedPackage::eOtherContent) return;
  PublishGuard(args, PackageName(args.sComponent, args.uVersion) +
                         " is already published with other content: clients that installed "
                         "version " +
                         std::to_string(args.uVersion) +
                         " would keep the old files; publish the new content as a new version");
}

// The bootstrapper being published will check every record it fetches with the keys branded
// into it: it must know the key that signs, and an unsigned publish must not ship keys.
void CheckBootstrapperKeys(const SPublishArgs& args, const common::CSigningKey* pKey) {
  const std::string& sExe = args.vecPaths[0];
  std::vector<common::PublicKey> keys;
  try {
    keys = ReadBrandedReleaseKeys(sExe);
  } catch (const std::exception& e) {
    if (pKey) PublishGuard(args, std::string(e.what()) + ": its release keys cannot be checked");
    return;
  }
  if (pKey && std::find(keys.begin(), keys.end(), pKey->Public()) == keys.end()) {
    PublishGuard(args,
                 sExe + " is not branded with the public key of " + args.signing.sKeyFile +
                     ": once installed it would refuse every record signed with it; brand it with "
                     "'larchtool brand EXE --public-key " +
                     args.signing.sKeyFile + sc_pszPublicKeySuffix + "'");
  } else if (!pKey && !keys.empty()) {
    PublishGuard(args,
                 sExe +
                     " carries release public keys: once installed it would refuse every unsigned "
                     "record; publish it with --sign-key KEYFILE");
  }
}

// The directory servers as a list: blanks and commas both separate.
std::string ServerList(const std::string& sText) {
  std::string sList, sItem;
  for (char c : sText + " ") {
    if (c == ' ' || c == ',' || c == '\t' || c == '\r' || c == '\n') {
      if (!sItem.empty()) sList += (sList.empty() ? "" : " ") + sItem;
      sItem.clear();
    } else {
      sItem += c;
    }
  }
  return sList;
}

// The published bootstrapper; empty, with the reason, when it cannot be read. A damaged one
// does not stop a publish, which may be what replaces it.
SPublishedBootstrapper ReadPublished(const SPublishArgs& args, const CClientConfigRecord& record,
                                     std::string& sUnreadable) {
  try {
    return ReadPublishedBootstrapper(args.sDir, record);
  } catch (const std::exception& e) {
    sUnreadable = e.what();
    return SPublishedBootstrapper();
  }
}

// A bootstrapper installed once stays with the addresses branded into it: the shipped ones, or
// other servers than the bootstrapper it replaces, would strand every client that installs it.
void CheckBootstrapperBranding(const SPublishArgs& args, const CClientConfigRecord& record) {
  const std::string& sExe = args.vecPaths[0];
  SExeBranding branding;
  try {
    branding = ReadExeBranding(sExe);
  } catch (const std::exception& e) {
    PublishGuard(args, std::string(e.what()) +
                           ": its branding cannot be checked; publish a Larch bootstrapper");
    return;
  }
  if (branding.bUnbranded) {
    PublishGuard(args, sExe + " still carries the branding a build ships with (client file \"" +
                           branding.sClientFile + "\", directory servers \"" +
                           branding.sDirectoryServers +
                           "\"): once installed, every client would talk to the shipped "
                           "addresses for good; brand it with 'larchtool brand EXE --client-file "
                           "NAME --directory-servers LIST'");
    return;
  }
  std::string sUnreadable;
  SPublishedBootstrapper published = ReadPublished(args, record, sUnreadable);
  if (!sUnreadable.empty()) {
    PublishNote("the directory servers were not compared with the published bootstrapper's: " +
                sUnreadable);
  }
  if (published.sPackage.empty()) return;
  const std::string sNew = ServerList(branding.sDirectoryServers);
  const std::string sOld = ServerList(published.branding.sDirectoryServers);
  if (sNew == sOld) return;
  PublishGuard(args, sExe + " is branded for the directory servers \"" + sNew +
                         "\", the published bootstrapper " + published.sPackage + " for \"" + sOld +
                         "\": every client that installs it would ask other servers from then "
                         "on; brand it with 'larchtool brand EXE --directory-servers LIST' for "
                         "the servers in use");
}

// The distinct first components of the entry names, sorted, the first few.
std::string TopLevelText(const std::vector<std::string>& names) {
  std::set<std::string> tops;
  for (const std::string& sName : names) tops.insert(sName.substr(0, sName.find_first_of("/\\")));
  std::string sText;
  size_t uListed = 0;
  for (const std::string& sTop : tops) {
    if (uListed++ == sc_uListedNames) return sText + ", ...";
    sText += (sText.empty() ? "" : ", ") + sTop;
  }
  return sText;
}

// The bootstrapper installs a client package only when the client file is at its top level,
// named as the installer forms it (name + "." + lower-case extension; letter case ignored by a
// Windows bootstrapper).
void CheckClientFile(const SPublishArgs& args, const CClientConfigRecord& record,
                     const std::string& sBuiltPackage) {
  std::string sUnreadable;
  SPublishedBootstrapper published = ReadPublished(args, record, sUnreadable);
  std::string sRequired = args.sClientFile;
  if (sRequired.empty() && !published.branding.sClientFile.empty()) {
    std::string sName, sExtension;
    bootstrapper::SplitClientAppFileName(published.branding.sClientFile, sName, sExtension);
    sRequired = sName + "." + sExtension;
  }
  if (sRequired.empty()) {
    PublishNote(
        "not checked that the package holds the client file at its top level: " +
        (sUnreadable.empty() ? std::string("no published bootstrapper names it") : sUnreadable) +
        "; give --client-file NAME to check");
    return;
  }
  std::vector<std::string> names;
  common::CPkgFile(sBuiltPackage).GetFileNames(names);
  const std::string sWanted = common::CPkgFileTOCindex::FoldedName(sRequired, published.bWindows);
  for (const std::string& sName : names) {
    if (common::CPkgFileTOCindex::FoldedName(sName, published.bWindows) == sWanted) return;
  }
  PublishGuard(args, PackageName(args.sComponent, args.uVersion) +
                         " would not hold the client file " + sRequired +
                         " at its top level (its top level holds: " + TopLevelText(names) +
                         "): bootstrappers would refuse to install it; publish the folder's "
                         "content with -C DIR");
}

}  // namespace

void PublishNote(const std::string& sText) {
  std::fprintf(stderr, "larchtool publish: note: %s\n", sText.c_str());
}

void CheckPublish(const SPublishArgs& args, const CClientConfigRecord& record,
                  const common::CSigningKey* pKey, const std::string& sBuiltPackage,
                  EPublishedPackage existing) {
  CheckComponent(args, record);
  CheckSameVersion(args, existing);
  if (!pKey && record.IsSigned()) {
    PublishGuard(args,
                 "the record in " + args.sDir +
                     " is signed: an unsigned one would be refused by bootstrappers that check "
                     "signatures; publish with --sign-key KEYFILE");
  }
  if (pKey) GuardKeyChange(record, *pKey, args.signing.sKeyFile, args.bForce, "publish");
  if (args.bBootstrapper) {
    CheckBootstrapperKeys(args, pKey);
    CheckBootstrapperBranding(args, record);
  } else {
    CheckClientFile(args, record, sBuiltPackage);
  }
}

}  // namespace larchtool
