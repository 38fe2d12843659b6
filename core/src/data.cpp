#include "data.hpp"
