#pragma once

namespace zelhart::setup {

const char* BuildDate(); // "Mmm dd yyyy"
const char* BuildTime(); // "hh:mm:ss"

} // namespace zelhart::setup
