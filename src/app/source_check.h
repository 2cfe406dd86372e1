// The --source addresses, tried before the run: a typing error or an address
// that another host owns would otherwise only show as every connect failing.
#pragma once

#include "config/test_config.h"

// Binds a throw-away socket to each --source address in turn. The first that
// the system refuses is named in one line on standard error, and the result
// is false. True when every address binds, or there are none.
bool checkSourceAddresses(const TestConfig& config);
