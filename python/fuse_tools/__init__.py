"""Python tools for fuse_results' files: matrix files, results files, plots.

Importable straight from the checkout: put the ``python/`` folder on
``sys.path`` (the scripts in that folder do it by living there).
"""
