#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace qrv::platform {

// The process-wide slot of a replaceable service (message boxes, progress
// reports, the launcher): front-ends and tests install their own, everyone
// else asks for the one in force.
//
// Thread: Current() and Install() may be called from any thread. A reference
// from Current() stays valid while its service stays installed; services are
// meant to be installed at start-up or by a test, not swapped mid-run.
template <class Service>
class ServiceSlot {
 public:
  // The installed service, or fallback when none is.
  Service& Current(Service& fallback) {
    std::lock_guard lock(m_mutex);
    return m_service ? *m_service : fallback;
  }
  // Installs service (nullptr: none) and returns the previous one.
  std::shared_ptr<Service> Install(std::shared_ptr<Service> service) {
    std::lock_guard lock(m_mutex);
    std::swap(m_service, service);
    return service;
  }

 private:
  std::mutex m_mutex;
  std::shared_ptr<Service> m_service;
};

}  // namespace qrv::platform
