#include <atomic>

#include "application.h"
#include "hostframework.h"

namespace {
std::atomic<bool> s_visible {true};
}

void HostFramework::setApVisible(bool visible)
{
    s_visible.store(visible, std::memory_order_relaxed);
}

// Called once per event: a plain load, no journal.
bool Application::isApVisible()
{
    return s_visible.load(std::memory_order_relaxed);
}
