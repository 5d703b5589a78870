import sys

from planeseg.cli import main

sys.exit(main())
