#pragma once

#include <map>
#include <vector>
