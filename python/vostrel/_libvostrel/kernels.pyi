"""Module initializer: registered by the aggregator crate."""

__all__: list[str]
