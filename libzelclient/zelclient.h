#pragma once

#include "zelconnectionparameters.h"

#include <QString>

// The link type as the broker spells it ("modem", ..., "local").
QString speedToString(ZELConnectionParameters::ConnectionSpeed speed);
