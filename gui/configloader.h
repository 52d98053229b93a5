#pragma once

#include "zelconnectionparameters.h"

// The connection settings the program starts from, before the command line is applied.
class ConfigLoader
{
public:
    // Opens the default settings store, so the application names must be set first.
    static ZELConnectionParameters loadConnectionParameters();
};
