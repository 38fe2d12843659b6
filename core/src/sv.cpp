#include "sv.hpp"
