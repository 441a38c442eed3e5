// The device's lock for the duration of one call that changes the device.
#ifndef CADENZA_COMPONENT_DEVICE_LOCK_H_
#define CADENZA_COMPONENT_DEVICE_LOCK_H_

#include "cadenza/cadenza.h"
#include "platform/lock.h"

namespace cadenza {

class clsCadenza::DeviceLockScope {
 public:
  explicit DeviceLockScope(clsCadenza& c) : c_(c) {}
  ~DeviceLockScope() {
    if (took_) c_.m_lock.reset();
  }
  DeviceLockScope(const DeviceLockScope&) = delete;
  DeviceLockScope& operator=(const DeviceLockScope&) = delete;

  // Takes the lock, unless the object holds it already (from LockDevice or
  // an enclosing call); the lock taken here goes with the scope.
  Status Enter() {
    if (c_.m_lock) return Status::OK();
    Status st = c_.LockDevice();
    took_ = st.ok();
    return st;
  }

 private:
  clsCadenza& c_;
  bool took_ = false;
};

}  // namespace cadenza

#endif  // CADENZA_COMPONENT_DEVICE_LOCK_H_
