#pragma once

#include <QStringList>

// The environment variables the user chose to send along with every broker request, as the
// program keeps them in the settings store.
class ChosenVariables
{
public:
    // Replaces the choice with these names, in order; an empty name is kept as an empty entry.
    static void store(const QStringList &names);
};
