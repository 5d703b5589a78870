"""Pure-Python helpers around the extension modules: generated scenes and the demo."""
