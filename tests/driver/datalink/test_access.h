// Reaches into a HartDataLink for tests: presetting fields and running one action alone.
#pragma once

#include "master_table.h"
#include "zelhart/datalink/hart_data_link.h"

namespace zelhart::datalink {

struct DataLinkTestAccess {
    static DataLinkContext& Ctx(HartDataLink& link) { return link.ctx_; }
    static void RunAction(HartDataLink& link, detail::Action action) { link.RunAction(action); }
};

} // namespace zelhart::datalink
