#include "platform/duilib/event_source.h"

namespace DuiLib {

void CEventSource::operator+=(const CDelegateBase& delegate) {
  auto entry = std::make_shared<Entry>();
  entry->delegate.reset(delegate.Copy());
  delegates_.push_back(std::move(entry));
}

void CEventSource::operator-=(const CDelegateBase& delegate) {
  for (auto it = delegates_.begin(); it != delegates_.end(); ++it) {
    if ((*it)->delegate->Equals(delegate)) {
      (*it)->removed = true;  // a firing in progress skips it from now on
      delegates_.erase(it);
      return;
    }
  }
}

bool CEventSource::operator()(void* param) {
  // A snapshot, so that subscribing or unsubscribing from inside a callback
  // leaves this firing's iteration intact.
  const auto snapshot = delegates_;
  for (const auto& entry : snapshot) {
    if (entry->removed) continue;
    if (!(*entry->delegate)(param)) return false;
  }
  return true;
}

}  // namespace DuiLib
