// ASN.1 BER tag-length-value reading and writing: the primitives under every
// codec of valdrin_core.
#pragma once
