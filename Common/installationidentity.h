#pragma once

// The installation's identity as usage reports name it.

#include <QString>

// The first MAC address of an interface that is up and not the loopback; empty when none has one.
QString installationMacAddress();
// The logged-on user's name, from the environment.
QString installationUserName();
