#include "platform/deployment/PackageManager.h"

#include <mutex>

namespace platform::deployment {
namespace {

// Built on first use: implementations register from static initialisers in
// other files, which may run before this file's own globals would exist.
struct Registry {
    std::mutex lock;
    PackageManagerFactory defaultFactory;
    PackageManagerFactory overrideFactory;
};

Registry& Factories() {
    static Registry registry;
    return registry;
}

PackageManagerFactory CurrentFactory() {
    Registry& registry = Factories();
    std::lock_guard lock(registry.lock);
    return registry.overrideFactory ? registry.overrideFactory : registry.defaultFactory;
}

}  // namespace

PackageManager::PackageManager() {
    // Called outside the lock: a factory may itself activate or install others.
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
    Registry& registry = Factories();
    std::lock_guard lock(registry.lock);
    registry.defaultFactory.swap(factory);
}

ScopedPackageManagerActivation::ScopedPackageManagerActivation(PackageManagerFactory factory) {
    Registry& registry = Factories();
    std::lock_guard lock(registry.lock);
    m_previous = std::exchange(registry.overrideFactory, std::move(factory));
}

ScopedPackageManagerActivation::~ScopedPackageManagerActivation() {
    PackageManagerFactory replaced;
    Registry& registry = Factories();
    std::lock_guard lock(registry.lock);
    replaced = std::exchange(registry.overrideFactory, std::move(m_previous));
}

}  // namespace platform::deployment
