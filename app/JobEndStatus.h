// What the status word says once a job has ended. It stays until the next job starts, so a
// load that failed or was broken off does not look like one that went well.
#pragma once
#include "tape/TapeJob.h"

#include <string>

// "Ready" after a job that completed, else what went wrong: "Failed: <failure>" ("Failed"
// without a text), "Invalid file selection" or "Stopped by user".
std::string JobEndStatusText(TapeJobResult result, const std::string& failure);
