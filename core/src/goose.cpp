#include "goose.hpp"
