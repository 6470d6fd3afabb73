#pragma once

// The installation's place in staged rollouts: a fraction f in [0, 1), drawn once from the
// system's random source and kept, so that a rollout of D days starting at S offers a release
// to this installation from S + f x D on, and to a share of all installations that grows
// evenly over the D days. Not derived from the machine or the user: two installations on one
// machine draw apart, and nothing about either can be read back from it.
//
// It lives where restarts, updates (which replace the installation's files) and cleaning of
// the temporary folder leave it: the user's local data folder (QStandardPaths'
// GenericDataLocation: %LOCALAPPDATA% on Windows, $XDG_DATA_HOME or ~/.local/share on Linux),
// in Orbisnap/<host name>/rollout-fraction, one line holding the decimal fraction. A file that
// is missing, unreadable or holds no fraction in [0, 1) is drawn again and written (checked,
// whole or not at all), and one debug message says so; when it cannot be written, the drawn
// fraction serves this process and a debug message says why.

#include <QString>

// The longest staged rollout, in days, that channels.json and an answer may name.
inline constexpr double MaxRolloutDays = 365;

// The fraction of the installation whose host is hostName (the executable's file name).
double installationRolloutFraction(const QString& hostName);

// Where that fraction is kept.
QString rolloutFractionPath(const QString& hostName);
