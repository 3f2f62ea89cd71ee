#include "platform/deployment/PackageManager.h"

#include <mutex>

namespace platform::deployment {
namespace {

std::mutex g_lock;
PackageManagerFactory g_default;
PackageManagerFactory g_override;

PackageManagerFactory CurrentFactory() {
    std::lock_guard lock(g_lock);
    return g_override ? g_override : g_default;
}

}  // namespace

PackageManager::PackageManager() {
    const PackageManagerFactory factory = CurrentFactory();
    if (!factory) {
        Throw(kClassNotRegistered);
    }
    m_impl = factory();
    if (!m_impl) {
        Throw(kClassNotRegistered);
    }
}

IPackageManager& PackageManager::Impl() const {
    if (!m_impl) {
        Throw(kPointer);
    }
    return *m_impl;
}

void SetDefaultPackageManagerFactory(PackageManagerFactory factory) {
    std::lock_guard lock(g_lock);
    g_default = std::move(factory);
}

ScopedPackageManagerActivation::ScopedPackageManagerActivation(PackageManagerFactory factory) {
    std::lock_guard lock(g_lock);
    m_previous = std::exchange(g_override, std::move(factory));
}

ScopedPackageManagerActivation::~ScopedPackageManagerActivation() {
    std::lock_guard lock(g_lock);
    g_override = std::move(m_previous);
}

}  // namespace platform::deployment
