#include "board/HostBus.h"

namespace board {
namespace {
thread_local HostBus* current_bus = nullptr;
}  // namespace

HostBus* CurrentHostBus() { return current_bus; }

HostBusScope::HostBusScope(HostBus& bus) : previous_(current_bus) { current_bus = &bus; }

HostBusScope::~HostBusScope() { current_bus = previous_; }

}  // namespace board
