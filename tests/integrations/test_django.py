"""Django's RedisCache, django-redis and sessions with the korvane serializers."""

import dataclasses
import pickle

import pytest

from integrations.conftest import require

require("django", "django")
require("django_redis", "django")

import korvane  # noqa: E402
from korvane.integrations import RefusedPayload  # noqa: E402
from korvane.integrations.django import RedisSerializer  # noqa: E402

SERIALIZER = "korvane.integrations.django.RedisSerializer"


@korvane.register
@dataclasses.dataclass
class Cart:
    owner: str
    items: list


class CartOnly(RedisSerializer):
    allowlist = {"Cart"}


@pytest.fixture(scope="module")
def caches(redis_url):
    from django.conf import settings

    if not settings.configured:
        settings.configure(
            SECRET_KEY="korvane-tests",
            INSTALLED_APPS=["django.contrib.sessions"],
            CACHES={
                "default": {
                    "BACKEND": "django.core.cache.backends.redis.RedisCache",
                    "LOCATION": redis_url + "/3",
                    "OPTIONS": {"serializer": SERIALIZER},
                },
                "strict": {
                    "BACKEND": "django.core.cache.backends.redis.RedisCache",
                    "LOCATION": redis_url + "/3",
                    "OPTIONS": {"serializer": f"{__name__}.CartOnly"},
                },
                "django_redis": {
                    "BACKEND": "django_redis.cache.RedisCache",
                    "LOCATION": redis_url + "/4",
                    "OPTIONS": {"SERIALIZER": SERIALIZER},
                },
            },
            SESSION_ENGINE="django.contrib.sessions.backends.cache",
            SESSION_SERIALIZER="korvane.integrations.django.SessionSerializer",
        )
        import django

        django.setup()
    from django.core.cache import caches

    for alias in ("default", "django_redis"):
        caches[alias].clear()
    return caches


@pytest.mark.parametrize("alias", ["default", "django_redis"])
def test_values_round_trip_and_ints_stay_raw(caches, alias):
    cache = caches[alias]
    shared = ["apple"]
    cart = Cart("ann", [shared, shared])
    cache.set("cart", {"cart": cart, "again": cart, "t": (1, 2.5, b"x")})
    back = cache.get("cart")
    assert back["cart"] == cart and back["again"] is back["cart"]
    assert back["cart"].items[0] is back["cart"].items[1]
    cache.set("hits", 41)
    assert cache.incr("hits") == 42 and cache.get("hits") == 42
    assert cache.get_many(["hits", "cart"])["hits"] == 42
    cache.set("flag", True)
    assert cache.get("flag") is True  # a bool is encoded, not stored as 1


def test_only_djangos_own_cache_gets_raw_ints():
    assert RedisSerializer().dumps(5) == 5
    assert RedisSerializer(options={}).dumps(5) == korvane.dumps(5)  # django-redis


@pytest.mark.parametrize("alias", ["default", "django_redis"])
def test_a_pickle_in_the_cache_is_refused(caches, alias, redis_url):
    import redis

    cache = caches[alias]
    cache.set("probe", 1)
    key = cache.make_key("probe")
    db = 3 if alias == "default" else 4
    redis.Redis.from_url(f"{redis_url}/{db}").set(key, pickle.dumps(Cart("x", [])))
    with pytest.raises(RefusedPayload, match="refusing a pickle payload"):
        cache.get("probe")


def test_an_allowlist_is_a_class_attribute(caches):
    caches["default"].set("mixed", [Cart("a", []), 1])
    assert caches["strict"].get("mixed")[0] == Cart("a", [])
    caches["default"].set("other", dataclasses.make_dataclass("Other", ["x"])(1))
    with pytest.raises(TypeError, match="not in the allowlist"):
        caches["strict"].get("other")


def test_sessions(caches):
    from django.contrib.sessions.backends import cache as cache_sessions
    from django.contrib.sessions.backends import signed_cookies

    for engine in (cache_sessions, signed_cookies):
        session = engine.SessionStore()
        session["cart"] = {"items": ["a", "b"], "n": 2}
        session.save()
        again = engine.SessionStore(session_key=session.session_key)
        assert again["cart"] == {"items": ["a", "b"], "n": 2}
