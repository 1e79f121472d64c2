// Owners of what the adapter hands out to the units above it, so that every
// return path releases it: a removal target, a delete call's removal session
// and a pinned root. The owners of a heap text and of a directory stream,
// which the backends use as well, are in platform/ed_platform.h; the guards
// of a platform's own handles and descriptors stay in its backend.
#ifndef ED_CORE_OWNERS_H
#define ED_CORE_OWNERS_H

#include <memory>

#include "platform/ed_platform.h"

struct ed_target_closer {
    void operator()(ed_target *target) const noexcept { ed_target_close(target); }
};
using ed_target_owner = std::unique_ptr<ed_target, ed_target_closer>;

struct ed_session_closer {
    void operator()(ed_removal_session *session) const noexcept {
        ed_removal_session_close(session);
    }
};
using ed_session_owner = std::unique_ptr<ed_removal_session, ed_session_closer>;

struct ed_root_unpinner {
    void operator()(ed_pinned_root *root) const noexcept { ed_unpin_root(root); }
};
using ed_root_pin = std::unique_ptr<ed_pinned_root, ed_root_unpinner>;

#endif
