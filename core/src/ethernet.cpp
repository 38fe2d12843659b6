#include "ethernet.hpp"
