"""Schema migrations: placeholder until the registry lands."""


def migration(name, from_version, to_version):
    raise NotImplementedError


def apply_migrations(name, mapping, stored, current):
    raise NotImplementedError
