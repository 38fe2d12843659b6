// IEC 61850 MMS Data values as GOOSE carries them: measuring, writing,
// validating and reading back.
#pragma once
