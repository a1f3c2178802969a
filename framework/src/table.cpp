// Table managers, their locks and lists, and the registry that agwmain asks
// for the manager of a request's table.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "agw_internal.h"
#include "agw_table.h"

int SYN1_GetLock(TAVRO_Lock* lock) {
    if (lock == nullptr) return AGW_STATUS_BAD_ARGUMENT;
    lock->mutex.lock();
    return AGW_STATUS_OK;
}

int SYN1_ReleaseLock(TAVRO_Lock* lock) {
    if (lock == nullptr) return AGW_STATUS_BAD_ARGUMENT;
    lock->mutex.unlock();
    return AGW_STATUS_OK;
}

void TavroList::Add(tavro* object) {
    if (object != nullptr && !Contains(object)) items_.push_back(object);
}

bool TavroList::Remove(tavro* object) {
    auto it = std::find(items_.begin(), items_.end(), object);
    if (it == items_.end()) return false;
    items_.erase(it);
    return true;
}

bool TavroList::Contains(const tavro* object) const {
    return std::find(items_.begin(), items_.end(), object) != items_.end();
}

namespace {

// The registered managers, in order of registration. Process-wide: the
// agent's loader registers on the main thread, agwmain and the push path
// look managers up; guarded by gRegistryMutex.
std::mutex gRegistryMutex;
std::vector<TableManager*> gRegistry;

}  // namespace

namespace agw {
void UnregisterAllManagers() {
    std::lock_guard<std::mutex> guard(gRegistryMutex);
    gRegistry.clear();
}
}  // namespace agw

TableManager::TableManager(const char* application, const char* table) {
    namesCut_ = agw::CopyBounded(application_, sizeof application_, application);
    namesCut_ = agw::CopyBounded(table_, sizeof table_, table) || namesCut_;
}

TableManager::~TableManager() {
    {
        std::lock_guard<std::mutex> guard(gRegistryMutex);
        gRegistry.erase(std::remove(gRegistry.begin(), gRegistry.end(), this), gRegistry.end());
    }
    TableManager::Shutdown(0);
}

void TableManager::Shutdown(unsigned long /*reserved*/) {
    for (;;) {
        lock();
        TavroListIter it(list_);
        tavro* object = it.Next();
        if (object != nullptr) list_.Remove(object);
        unlock();
        if (object == nullptr) return;
        delete object;
    }
}

int TableManager::RegisterWithManager(TableManager* manager) {
    if (manager == nullptr || manager->namesCut_ || manager->table_[0] == '\0') {
        return AGW_STATUS_BAD_ARGUMENT;
    }
    std::lock_guard<std::mutex> guard(gRegistryMutex);
    for (TableManager* known : gRegistry) {
        if (std::strcmp(known->table_, manager->table_) == 0) return AGW_STATUS_DUPLICATE_TABLE;
    }
    gRegistry.push_back(manager);
    return AGW_STATUS_OK;
}

TableManager* TableManager::Find(const char* table) {
    if (table == nullptr) return nullptr;
    std::lock_guard<std::mutex> guard(gRegistryMutex);
    for (TableManager* known : gRegistry) {
        if (std::strcmp(known->table_, table) == 0) return known;
    }
    return nullptr;
}

std::vector<TableManager*> TableManager::Registered() {
    std::lock_guard<std::mutex> guard(gRegistryMutex);
    return gRegistry;
}

void TableManager::lock() { SYN1_GetLock(&lock_); }
void TableManager::unlock() { SYN1_ReleaseLock(&lock_); }

tavro* TableManager::CreateDescription(RequestDetail* /*request*/, ContextInfo* /*context*/) { return nullptr; }

tavro* TableManager::NewTableObject(RequestDetail* request, ContextInfo* context) {
    tavro* object = CreateTavro(request, context);
    if (object == nullptr) return nullptr;
    lock();
    list_.Add(object);
    unlock();
    return object;
}

void TableManager::DeleteTableObject(tavro* object) {
    if (object == nullptr) return;
    lock();
    list_.Remove(object);
    unlock();
    delete object;
}
