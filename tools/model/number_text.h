// Numbers as text: the shortest decimal text that reads back as the same double, the form every
// number takes in a formula handed to the engine, in a message and in a results file.
#pragma once

#include <string>

namespace tessuvan::cli {

std::string NumberText(double value);

}  // namespace tessuvan::cli
