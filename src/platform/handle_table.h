// The table behind raw process handles, shared by both backends: a raw value
// is an entry, never a pointer or a kernel handle (which the system reuses at
// once after closing), so any value may reach any call and one that is not
// open (closed, closed twice, forged) is simply not found.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/process.h"

namespace platform::internal {

static_assert(sizeof(RawProcess) == 8, "handle values hold a 32-bit slot and a 32-bit generation");

// Open handles. A value is (generation << 32) | (slot + 1): never null, and
// never all ones (the generation stays below 2^31), which is CurrentProcess().
// A freed slot is reused last (first in, first out) and with the next
// generation, so a stale value would need 2^31 reuses of its slot to match.
template <typename Object>
class HandleTable {
 public:
  RawProcess Insert(std::shared_ptr<Object> object) {
    std::lock_guard lock(mutex_);
    std::uint32_t index;
    if (!free_.empty()) {
      index = free_.front();
      free_.pop_front();
    } else {
      index = static_cast<std::uint32_t>(slots_.size());
      slots_.emplace_back();
    }
    Slot& slot = slots_[index];
    slot.generation = slot.generation >= kMaxGeneration ? 1 : slot.generation + 1;
    slot.object = std::move(object);
    const std::uint64_t value = (static_cast<std::uint64_t>(slot.generation) << 32) | (index + 1u);
    return reinterpret_cast<RawProcess>(static_cast<std::uintptr_t>(value));
  }

  std::shared_ptr<Object> Find(RawProcess raw) {
    std::lock_guard lock(mutex_);
    Slot* slot = Locate(raw);
    return slot ? slot->object : nullptr;
  }

  // Takes the entry out; later lookups of `raw` fail.
  std::shared_ptr<Object> Remove(RawProcess raw) {
    std::lock_guard lock(mutex_);
    Slot* slot = Locate(raw);
    if (slot == nullptr) return nullptr;
    std::shared_ptr<Object> object = std::move(slot->object);
    slot->object.reset();
    free_.push_back(static_cast<std::uint32_t>(slot - slots_.data()));
    return object;
  }

 private:
  static constexpr std::uint32_t kMaxGeneration = 0x7FFFFFFF;
  struct Slot {
    std::uint32_t generation = 0;
    std::shared_ptr<Object> object;  // null while free
  };

  Slot* Locate(RawProcess raw) {
    const auto value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(raw));
    const auto low = static_cast<std::uint32_t>(value & 0xFFFFFFFFu);
    const auto generation = static_cast<std::uint32_t>(value >> 32);
    if (low == 0 || generation == 0 || generation > kMaxGeneration) return nullptr;
    const std::size_t index = low - 1u;
    if (index >= slots_.size()) return nullptr;
    Slot& slot = slots_[index];
    if (!slot.object || slot.generation != generation) return nullptr;
    return &slot;
  }

  std::mutex mutex_;
  std::vector<Slot> slots_;
  std::deque<std::uint32_t> free_;
};

}  // namespace platform::internal
