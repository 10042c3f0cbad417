from velmora_cli.cli import main

raise SystemExit(main())
