// Forwards to scan.hpp for the search's sources, which still name the table's
// header by its former name; remove once they include scan.hpp.
#pragma once

#include "scan.hpp"
