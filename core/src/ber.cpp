#include "ber.hpp"
