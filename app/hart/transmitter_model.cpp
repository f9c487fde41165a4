#include "hart/transmitter_model.h"
