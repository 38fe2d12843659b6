// GOOSE (IEC 61850-8-1 IECGoosePdu): encoding of a PDU and of its frame,
// lenient and strict decoding.
#pragma once
