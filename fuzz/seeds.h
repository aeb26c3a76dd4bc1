// Seed inputs of the fuzz targets, made from the same sample records and texts as the tests.
#pragma once

#include <string>

namespace quib::fuzz {

// Writes the seeds of target `name` into the existing directory `dir`, one file each.
void write_seeds(const std::string& name, const std::string& dir);

}  // namespace quib::fuzz
