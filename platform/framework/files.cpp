#include "platform/framework/files.h"

namespace nuv::framework {

FileTable &FileTable::Instance() {
    static FileTable *table = new FileTable();  // outlives the library's statics
    return *table;
}

HANDLE FileTable::Adopt(std::shared_ptr<FileObject> file) {
    if (!file) return INVALID_HANDLE_VALUE;
    std::lock_guard<std::mutex> hold(lock_);
    std::uintptr_t value;
    if (!freeValues_.empty()) {
        value = freeValues_.back();
        freeValues_.pop_back();
    } else {
        value = nextValue_;
        nextValue_ += 4;
    }
    open_[value] = std::move(file);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<FileObject> FileTable::Get(HANDLE handle) const {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = open_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == open_.end() ? nullptr : it->second;
}

bool FileTable::Close(HANDLE handle) {
    std::shared_ptr<FileObject> closing;  // released after the lock
    std::lock_guard<std::mutex> hold(lock_);
    auto it = open_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == open_.end()) return false;
    closing = std::move(it->second);
    open_.erase(it);
    freeValues_.push_back(reinterpret_cast<std::uintptr_t>(handle));
    return true;
}

int FileTable::OpenCount() const {
    std::lock_guard<std::mutex> hold(lock_);
    return static_cast<int>(open_.size());
}

void FileTable::Clear() {
    std::map<std::uintptr_t, std::shared_ptr<FileObject>> closing;
    std::lock_guard<std::mutex> hold(lock_);
    closing.swap(open_);
    freeValues_.clear();
    nextValue_ = 0x100;
}

}  // namespace nuv::framework
