from velmora_cli import main

raise SystemExit(main())
