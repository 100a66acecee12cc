"""python -m exokern.spectrum: the command exokern-spectrum (exokern.cli.spectrum)."""

if __name__ == "__main__":
    from exokern.cli.spectrum import main

    raise SystemExit(main())
