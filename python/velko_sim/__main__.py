"""`python3 -m velko_sim COMMAND`: the package's commands (serve ENV_ID, velko_sim.registered)."""

import sys

from .registered import main

sys.exit(main())
