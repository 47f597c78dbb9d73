#include "network/SocketCalls.h"

namespace common {
namespace {

const SSocketCalls sc_PlatformCalls = {
    platform::CreateTcpSocket,      platform::CloseSocket,       platform::SetSocketNonBlocking,
    platform::ConnectSocket,        platform::PollConnect,       platform::SendOnSocket,
    platform::ReceiveOnSocket,      platform::ShutdownSending,   platform::WaitForSocket,
    platform::GetSocketPeerAddress, platform::ReadLocalHostName, platform::LookUpFirstIPv4Address,
};

const SSocketCalls* g_pCalls = &sc_PlatformCalls;

}  // namespace

const SSocketCalls& SocketCalls() {
  return *g_pCalls;
}
const SSocketCalls& PlatformSocketCalls() {
  return sc_PlatformCalls;
}
void SetSocketCalls(const SSocketCalls* pCalls) {
  g_pCalls = pCalls ? pCalls : &sc_PlatformCalls;
}

}  // namespace common
