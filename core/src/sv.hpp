// Sampled Values (IEC 61850-9-2): decoding of the savPdu and its ASDUs.
#pragma once
