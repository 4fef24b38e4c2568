#include "app/JobEndStatus.h"

std::string JobEndStatusText(TapeJobResult result, const std::string& failure)
{
    switch (result) {
    case TapeJobResult::Completed:
        break;
    case TapeJobResult::Failed:
        return failure.empty() ? "Failed" : "Failed: " + failure;
    case TapeJobResult::BadSelection:
        return "Invalid file selection";
    case TapeJobResult::BrokenByUser:
        return "Stopped by user";
    }
    return "Ready";
}
