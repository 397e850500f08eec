// Other components construct the helpers directly: their size and the offset
// of every member are fixed (members added later live in former padding).

#include <cstddef>

#include "HelperTestSupport.h"

namespace {

class LayoutView : public InspectableWrapper {
public:
    using CIHelperBase::defaultSession;
    using CIHelperBase::logger;
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(CIHelperBase) == 40, "CIHelperBase layout");
static_assert(sizeof(CIEraseWrapper) == 152, "CIEraseWrapper layout");
static_assert(sizeof(CIAFPruner) == 40, "CIAFPruner layout");
static_assert(offsetof(LayoutView, initialized) == 8, "CIHelperBase layout");
static_assert(offsetof(LayoutView, logger) == 16, "CIHelperBase layout");
static_assert(offsetof(LayoutView, defaultSession) == 32, "CIHelperBase layout");
static_assert(offsetof(LayoutView, vornCellNumber) == 40, "CIEraseWrapper layout");
static_assert(offsetof(LayoutView, currentClientId) == 44, "CIEraseWrapper layout");
static_assert(offsetof(LayoutView, cloudIds) == 48, "CIEraseWrapper layout");
static_assert(offsetof(LayoutView, ciServerClientIds) == 72, "CIEraseWrapper layout");
static_assert(offsetof(LayoutView, lastErasedAppId) == 96, "CIEraseWrapper layout");
static_assert(offsetof(LayoutView, clientSessions) == 104, "CIEraseWrapper layout");
#pragma GCC diagnostic pop

}  // namespace
