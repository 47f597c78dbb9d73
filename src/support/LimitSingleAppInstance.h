// Tells a process whether another process of the same program is already running. The answer
// is fixed at construction; the name stays taken for as long as the object lives.
#pragma once

#include <memory>
#include <string>

namespace platform {
class CNamedInstanceMarker;
}

namespace common {

class CLimitSingleAppInstance {
 public:
  explicit CLimitSingleAppInstance(const std::string& sMutexName);
  virtual ~CLimitSingleAppInstance();
  CLimitSingleAppInstance(const CLimitSingleAppInstance&) = delete;
  CLimitSingleAppInstance& operator=(const CLimitSingleAppInstance&) = delete;

  bool IsAnotherInstanceRunning() const;

 private:
  std::unique_ptr<platform::CNamedInstanceMarker> m_pImpl;
};

}  // namespace common
