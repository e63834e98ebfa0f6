import os

import pytest

# scripts/sanitize-test preloads the AddressSanitizer runtime, which reserves far more address
# space than the address-space limits some tests set.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
skip_if_sanitized = pytest.mark.skipif(SANITIZED, reason="address-space limits do not mix with the sanitizer")
